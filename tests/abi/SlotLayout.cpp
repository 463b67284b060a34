// One class per host-facing interface overriding every operation, so that the
// compilers name each slot of the table (a pure entry has no name). Read by
// scripts/check-slot-layout; Slots_X implements X, or the newest version of
// the family X begins.
#include "talvik/CapabilityQuery.h"
#include "talvik/CaptureIO.h"
#include "talvik/DebugSink.h"
#include "talvik/HostDevice.h"
#include "talvik/HostFrame.h"
#include "talvik/HostStream.h"
#include "talvik/IPCaptureDriver.h"
#include "talvik/IPVideoCapture.h"

using namespace talvik;
using namespace talvik::ipcapture;

#define SLOT(signature)  \
    signature override { \
        return {};       \
    }
#define VOID_SLOT(signature) \
    signature override {}

struct Slots_IStoreProperty : IStoreProperty {
    VOID_SLOT(void SetValue(const char*))
    VOID_SLOT(void Reserved3())
    VOID_SLOT(void Reserved4())
    VOID_SLOT(void SetValueIsText(uint32_t))
    VOID_SLOT(void SetName(const char*))
    VOID_SLOT(void SetFlags(uint32_t))
};
struct Slots_IResolutionList : IResolutionList {
    VOID_SLOT(void Add(const char*, uint32_t, uint32_t, uint32_t))
};
struct Slots_IFrameIntervalList : IFrameIntervalList {
    VOID_SLOT(void SetDefault(uint32_t))
    VOID_SLOT(void Add(uint32_t))
};
struct Slots_ICapabilityStore : ICapabilityStore {
    VOID_SLOT(void SetCapability(uint32_t, uint32_t))
    VOID_SLOT(void SetModelName(const char*))
    SLOT(IStoreProperty* GetConnectionParameter(uint32_t))
    VOID_SLOT(void Reserved5())
    SLOT(IStoreProperty* CreateProperty(uint32_t))
    SLOT(IResolutionList* GetResolutionList())
    VOID_SLOT(void Reserved8())
    SLOT(IFrameIntervalList* GetFrameIntervalList(uint32_t))
};
struct Slots_ICapabilityQueryCallback : ICapabilityQueryCallback {
    VOID_SLOT(void Reserved2())
    VOID_SLOT(void OnCompleted())
    VOID_SLOT(void OnFailed(uint32_t, const char*))
    VOID_SLOT(void OnTerminated())
};
struct Slots_IIPCapabilityQuery : IIPCapabilityQuery {
    SLOT(uint32_t StartQuery(const char*, uint16_t, const char*, const char*, ICapabilityStore*))
    VOID_SLOT(void StopQuery())
};
struct Slots_ICaptureIOCallback : ICaptureIOCallback {
    VOID_SLOT(void OnInputStateChanged(uint32_t, uint32_t))
    VOID_SLOT(void OnIOFailure())
};
struct Slots_ICaptureIOApi : ICaptureIOApi {
    SLOT(bool SetCallback(ICaptureIOCallback*))
    SLOT(bool StartIO())
    SLOT(bool StopIO())
    SLOT(uint32_t GetInputCount())
    SLOT(uint32_t GetOutputCount())
    SLOT(bool ChangeOutputState(uint32_t, uint32_t))
};
struct Slots_CDebugInfoIf : CDebugInfoIf {
    SLOT(uint8_t GetLevel() const)
    SLOT(const char* GetText() const)
};
struct Slots_IHostDebugSink : IHostDebugSink {
    VOID_SLOT(void Report(const CDebugInfoIf*))
};
struct Slots_IHostCameraInfo : IHostCameraInfo {
    SLOT(uint32_t ReservedCamera1())
    SLOT(const char* GetModel())
    SLOT(uint32_t GetVideoInputCount())
    SLOT(uint32_t ReservedCamera4())
    SLOT(uint32_t GetDigitalInputCount())
    SLOT(uint32_t GetDigitalOutputCount())
};
struct Slots_IHostConnectionInfo : IHostConnectionInfo {
    SLOT(const char* GetAddress())
    SLOT(uint16_t GetPort())
    SLOT(uint32_t ReservedConnection3())
    SLOT(uint32_t GetDefaultCodec())
    SLOT(const char* GetUserName())
    SLOT(const char* GetPassword())
};
struct Slots_IHostDevice : IHostDevice {
    SLOT(IHostCameraInfo* GetCameraInfo())
    SLOT(IHostConnectionInfo* GetConnectionInfo())
    SLOT(uint32_t ReservedDevice3())
    SLOT(const char* GetParameter(uint32_t))
};
struct Slots_IHostFrame : IHostFrame {
    SLOT(uint32_t GetBufferSize())
    SLOT(uint8_t* GetBuffer())
    SLOT(uint32_t GetDataSize())
    VOID_SLOT(void SetDataSize(uint32_t))
    VOID_SLOT(void StampFrame())
    VOID_SLOT(void SetTime(const HostSystemTime*))
    VOID_SLOT(void GetTime(HostSystemTime*))
    SLOT(uint32_t ReservedFrame8())
    SLOT(uint32_t GetFourCC())
    VOID_SLOT(void SetFourCC(uint32_t))
    SLOT(uint32_t GetHeight())
    VOID_SLOT(void SetHeight(uint32_t))
    SLOT(uint32_t GetWidth())
    VOID_SLOT(void SetWidth(uint32_t))
    SLOT(uint32_t GetResolutionClass())
    VOID_SLOT(void SetResolutionClass(uint32_t))
};
struct Slots_IHostFrameAllocator : IHostFrameAllocator {
    SLOT(uint32_t ReservedAllocator1())
    SLOT(IHostFrame* CreateFrame(uint32_t, uint32_t, const char*))
    SLOT(uint32_t ReservedAllocator3())
    SLOT(uint32_t ReservedAllocator4())
    SLOT(uint32_t ReservedAllocator5())
    VOID_SLOT(void ReleaseFrame(IHostFrame*))
};
struct Slots_IHostFrameSink : IHostFrameSink {
    SLOT(bool OnFrame(IHostFrame*))
    SLOT(uint32_t ReservedSink2())
    VOID_SLOT(void OnSignalLost())
};
struct Slots_IFrameTimeListener : IFrameTimeListener {
    VOID_SLOT(void OnFrameTime(uint32_t, uint64_t))
    VOID_SLOT(void OnListenerSignalLost(uint32_t))
};
struct Slots_IHostFrameSize : IHostFrameSize {
    SLOT(uint32_t GetWidth())
    SLOT(uint32_t GetHeight())
};
struct Slots_IHostStreamFormat : IHostStreamFormat {
    SLOT(uint32_t ReservedFormat1())
    SLOT(uint32_t ReservedFormat2())
    SLOT(IHostFrameSize* GetSize())
    SLOT(uint32_t GetCodec())
};
struct Slots_IHostFrameRate : IHostFrameRate {
    SLOT(uint32_t GetFrameInterval())
    SLOT(uint32_t ReservedRate2())
    SLOT(uint32_t GetQuality())
    SLOT(uint32_t GetAuxiliaryRequested())
};
struct Slots_IHostStreamSettings : IHostStreamSettings {
    SLOT(IHostStreamFormat* GetFormat())
    SLOT(IHostFrameRate* GetRate())
    SLOT(uint32_t ReservedSettings3())
    SLOT(uint32_t ReservedSettings4())
    SLOT(uint32_t GetHostOption())
};
struct Slots_IIPVideoCapture : IIPVideoCaptureEx2 {
    SLOT(uint32_t GetVideoInputCount())
    SLOT(bool StartVideo(uint32_t, IHostFrameSink*, IHostStreamSettings*))
    SLOT(bool StopVideo(uint32_t))
    SLOT(bool UpdateVideo(uint32_t, IHostFrameSize*, uint32_t))
    SLOT(uint32_t ReservedVideoA())
    SLOT(bool GetVideoStatus(uint32_t, uint32_t*, uint32_t*, char*, uint32_t))
    SLOT(bool ReservedVideoB(uintptr_t, uintptr_t))
    SLOT(bool ReservedVideoC(uintptr_t, uintptr_t))
    SLOT(bool ResumeVideo(uint32_t))
    SLOT(bool PauseVideo(uint32_t))
    SLOT(bool StartStream(uint32_t, uint32_t, IHostFrameSink*, IHostStreamSettings*))
    SLOT(bool StopStream(uint32_t, uint32_t))
};
struct Slots_IIPCaptureDriver : IIPCaptureDriverEx5 {
    SLOT(bool Open(IHostDebugSink*, IHostFrameAllocator*, IHostDevice*))
    VOID_SLOT(void Close())
    SLOT(IIPVideoCapture* GetVideoCapture())
    SLOT(ICaptureIOApi* GetDigitalIO())
    SLOT(void* ReservedEx())
    SLOT(void* GetAuxiliary())
    SLOT(void* ReservedEx2())
    SLOT(IIPVideoCaptureEx* GetVideoCaptureEx())
    SLOT(void* GetAuxiliaryEx())
    SLOT(void* ReservedEx4A())
    SLOT(void* ReservedEx4B())
    SLOT(IIPVideoCaptureEx2* GetVideoCaptureEx2())
};

// Constructing each one makes every compiler emit (and dump) its table.
template <class... T>
void Construct() {
    (delete new T(), ...);
}
void ConstructAll() {
    Construct<Slots_IStoreProperty, Slots_IResolutionList, Slots_IFrameIntervalList,
              Slots_ICapabilityStore, Slots_ICapabilityQueryCallback, Slots_IIPCapabilityQuery,
              Slots_ICaptureIOCallback, Slots_ICaptureIOApi, Slots_CDebugInfoIf,
              Slots_IHostDebugSink, Slots_IHostCameraInfo, Slots_IHostConnectionInfo,
              Slots_IHostDevice, Slots_IHostFrame, Slots_IHostFrameAllocator, Slots_IHostFrameSink,
              Slots_IFrameTimeListener, Slots_IHostFrameSize, Slots_IHostStreamFormat,
              Slots_IHostFrameRate, Slots_IHostStreamSettings, Slots_IIPVideoCapture,
              Slots_IIPCaptureDriver>();
}
