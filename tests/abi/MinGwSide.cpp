// Built with MinGW's GCC: module-side objects that MsvcSide.cpp calls as an
// MSVC host would, and calls into its MSVC-built host object. Exit code 0
// when every call did what it should; each fault is printed.
#include <cstdio>
#include <cstring>

#include "talvik/DebugSink.h"
#include "talvik/HostFrame.h"

extern "C" uint32_t MsvcReadInfo(const talvik::CDebugInfoIf* info, const char** text);
extern "C" void MsvcDelete(talvik::CDebugInfoIf* info);
extern "C" void MsvcDestroy(talvik::CDebugInfoIf* info);
extern "C" talvik::IHostFrameSink* MsvcMakeSink(void* storage, int* events);

// The MSVC side's operator delete (for its scalar deleting destructor): its
// only object lives in static storage, so freeing does nothing.
__asm__(".globl \"??3@YAXPAX@Z\"\n\"??3@YAXPAX@Z\":\n\tret\n");

namespace {

int g_destroyed = 0, g_freed = 0, g_faults = 0;

void Expect(bool ok, const char* what) {
    if (!ok) {
        std::printf("fault: %s\n", what);
        ++g_faults;
    }
}

struct Other {
    virtual ~Other() = default;
    int pad = 0;
};
// The interface is a second base, so slot 0 must adjust `this` to delete.
class Info : public Other, public talvik::CDebugInfoIf {
public:
    ~Info() override { ++g_destroyed; }
    uint8_t GetLevel() const override { return 2; }
    const char* GetText() const override { return "warning text"; }
    static void operator delete(void* object) {
        ++g_freed;
        ::operator delete(object);
    }
};

}  // namespace

int main() {
    Info* info = new Info;
    const char* text = nullptr;
    Expect(MsvcReadInfo(info, &text) == 2, "GetLevel through the MSVC caller");
    Expect(text != nullptr && std::strcmp(text, "warning text") == 0, "GetText through it");
    MsvcDestroy(info);
    Expect(g_destroyed == 1 && g_freed == 0, "slot 0 with flags 0 destroys and keeps the memory");
    ::operator delete(static_cast<void*>(info));
    MsvcDelete(new Info);
    Expect(g_destroyed == 2 && g_freed == 1, "slot 0 with flags 1 destroys and frees");
    talvik::CDebugInfoIf* base = new Info;
    delete base;
    Expect(g_destroyed == 3 && g_freed == 2, "delete through the interface in MinGW code");

    alignas(8) static unsigned char storage[64];
    int events = 0;
    talvik::IHostFrameSink* sink = MsvcMakeSink(storage, &events);
    Expect(sink->OnFrame(reinterpret_cast<talvik::IHostFrame*>(storage)),
           "OnFrame of an MSVC object");
    Expect(!sink->OnFrame(nullptr), "OnFrame with null");
    Expect(sink->ReservedSink2() == 0, "placeholder slot 2");
    sink->OnSignalLost();
    Expect(events == 1, "OnSignalLost of an MSVC object");
    sink->ScalarDeletingDestructor(0);
    Expect(events == 101, "slot 0 of an MSVC object destroys it");
    std::printf("%s\n", g_faults == 0 ? "every call matched" : "calls went wrong");
    return g_faults == 0 ? 0 : 1;
}
