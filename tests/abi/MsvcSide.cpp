// Built for the MSVC ABI (clang --target=i686-pc-windows-msvc): calls as an
// MSVC-built host does, and a host object of its own for MinGW code to call.
// Linked into MinGwSide.cpp's program by scripts/check-slot-layout --calls.
#include "talvik/DebugSink.h"
#include "talvik/HostFrame.h"

extern "C" uint32_t MsvcReadInfo(const talvik::CDebugInfoIf* info, const char** text) {
    *text = info->GetText();
    return info->GetLevel();
}
// Slot 0 with flags 1, then with flags 0.
extern "C" void MsvcDelete(talvik::CDebugInfoIf* info) {
    delete info;
}
extern "C" void MsvcDestroy(talvik::CDebugInfoIf* info) {
    info->~CDebugInfoIf();
}

namespace {
class MsvcSink : public talvik::IHostFrameSink {
public:
    explicit MsvcSink(int* events) : events_(events) {}
    ~MsvcSink() override { *events_ += 100; }
    bool OnFrame(talvik::IHostFrame* frame) override { return frame != nullptr; }
    void OnSignalLost() override { *events_ += 1; }

private:
    int* events_;
};
}  // namespace

void* operator new(decltype(sizeof(0)), void* at) noexcept {
    return at;
}
extern "C" talvik::IHostFrameSink* MsvcMakeSink(void* storage, int* events) {
    return new (storage) MsvcSink(events);
}
