#include <windows.h>

#include "platform/Event.h"

namespace talvik {

CEvent::CEvent(bool manualReset, bool, const char*)
    : handle_(CreateEventA(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr)) {}

CEvent::~CEvent() {
    if (handle_ != nullptr) CloseHandle(handle_);
    handle_ = nullptr;
}

bool CEvent::Set() {
    return handle_ != nullptr && SetEvent(handle_);
}

bool CEvent::Reset() {
    return handle_ != nullptr && ResetEvent(handle_);
}

bool CEvent::Wait(uint32_t timeoutMs) {
    if (handle_ == nullptr) return false;
    const DWORD result = WaitForSingleObject(handle_, timeoutMs);
    return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

int WaitAny(CEvent* const* events, uint32_t count, uint32_t timeoutMs) {
    if (events == nullptr || count == 0 || count > MAXIMUM_WAIT_OBJECTS) return -1;
    // A null handle among them makes the wait itself fail.
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    for (uint32_t i = 0; i < count; ++i) {
        if (events[i] == nullptr) return -1;
        handles[i] = events[i]->handle_;
    }
    const DWORD result = WaitForMultipleObjects(count, handles, FALSE, timeoutMs);
    if (result < WAIT_OBJECT_0 + count) return static_cast<int>(result - WAIT_OBJECT_0);
    if (result >= WAIT_ABANDONED_0 && result < WAIT_ABANDONED_0 + count) {
        return static_cast<int>(result - WAIT_ABANDONED_0);
    }
    return -1;
}

}  // namespace talvik
