#include "driver/DriverLink.h"

#include <cstdarg>
#include <mutex>
#include <shared_mutex>

#include "base/Text.h"
#include "driver/IPCaptureDriver.h"

namespace talvik {

namespace {
constexpr char kNoneText[] = "(none)";
}  // namespace

std::string ParameterText(const std::map<uint32_t, std::string>& parameters, uint32_t n) {
    const auto it = parameters.find(n);
    if (it == parameters.end() || it->second == kNoneText) return std::string();
    return it->second;
}

int32_t ParameterInt(const std::map<uint32_t, std::string>& parameters, uint32_t n) {
    const auto it = parameters.find(n);
    int32_t value = 0;
    if (it == parameters.end() || !ParseStrictInt(it->second, &value)) return kNoParameterValue;
    return value;
}

CDriverLink::CDriverLink(DriverSnapshot snapshot, IHostDebugSink* sink, const HostCoreVersion& host,
                         IHostFrameAllocator* allocator)
    : snapshot_(std::move(snapshot)), host_(host), sink_(sink), allocator_(allocator) {}

void CDriverLink::Cut() {
    std::unique_lock<CSharedMutex> guard(cutLock_);
    sink_ = nullptr;
    allocator_ = nullptr;
}

std::string CDriverLink::GetSourceName() {
    return FormatString("%s:%hu", snapshot_.device.address.c_str(), snapshot_.device.port);
}

void CDriverLink::DebugMessage(uint32_t level, const char* format, ...) {
    std::shared_lock<CSharedMutex> guard(cutLock_);
    if (sink_ == nullptr) return;
    va_list args;
    va_start(args, format);
    ForwardDebugMessageV(sink_, host_, level, format, args);
    va_end(args);
}

IHostFrameAllocator* CDriverLink::GetHostContext() {
    std::shared_lock<CSharedMutex> guard(cutLock_);
    return allocator_;
}

std::string CDriverLink::GetParameterString(uint32_t n) {
    return ParameterText(snapshot_.parameters, n);
}

int32_t CDriverLink::GetParameterInt(uint32_t n) {
    return ParameterInt(snapshot_.parameters, n);
}

}  // namespace talvik
