// Video capture interface: through it the host starts and stops the streams
// of each video input of a device. One object per driver, obtained from the
// driver's GetVideoCapture family after Open and owned by the driver (valid
// until Close or deletion). May be called from several host threads; starts
// and stops of the same input and stream kind must be serialised by the host.
//
// Slot-order rule: the host calls by slot position, so operations are never
// reordered or removed; a new version only appends (Ex, Ex2, ...).
#pragma once

#include <cstdint>

#include "talvik/Abi.h"
#include "talvik/HostFrame.h"
#include "talvik/HostStream.h"

namespace talvik {
namespace ipcapture {

// Stream kinds of StartStream and StopStream.
enum StreamKind : uint32_t {
    kStreamRecording = 0,
    kStreamLive = 1,
    kStreamRemote = 2,
};

// Slot counts: IIPVideoCapture 9, IIPVideoCaptureEx 11, IIPVideoCaptureEx2 13.
class IIPVideoCapture {
public:
    // Slot 0: the driver destroys the object; the host never deletes it.
    TALVIK_VERSIONED_DESTRUCTOR_SLOT(IIPVideoCapture);
    // Slot 1: number of video inputs, as the host's device gave it in Open
    // (inputs are numbered from 0).
    virtual uint32_t GetVideoInputCount() = 0;
    // Slot 2: (re)starts the recording stream of input with the host's settings
    // (frame interval in the unit-encoded form); frames go to sink. Both are
    // owned by the host; the sink must stay valid until the stream is stopped.
    // False when the input is out of range, the codec is not served or the
    // stream cannot start (it is then still filed, so StopVideo releases it).
    virtual bool StartVideo(uint32_t videoInput, IHostFrameSink* sink,
                            IHostStreamSettings* settings) = 0;
    // Slot 3: stops every stream of input and waits for its threads; true if
    // anything was running. Do not call from inside a sink callback.
    virtual bool StopVideo(uint32_t videoInput) = 0;
    // Slot 4: changes size and frame interval (ms) of the running recording
    // stream; size is the host's, read during the call. False when there is none.
    virtual bool UpdateVideo(uint32_t videoInput, IHostFrameSize* size,
                             uint32_t frameIntervalMs) = 0;
    virtual uint32_t ReservedVideoA() = 0;  // slot 5: always 0
    // Slot 6: status of the recording stream: 0 streaming, 2 stopped or signal
    // lost, other values failed. second is set to 0 and text (when given with a
    // non-zero size) to "". False when the input has no recording stream.
    virtual bool GetVideoStatus(uint32_t videoInput, uint32_t* status, uint32_t* second, char* text,
                                uint32_t textSize) = 0;
    virtual bool ReservedVideoB(uintptr_t a, uintptr_t b) = 0;  // slot 7: always false
    virtual bool ReservedVideoC(uintptr_t a, uintptr_t b) = 0;  // slot 8: always false
};

class IIPVideoCaptureEx : public IIPVideoCapture {
public:
    TALVIK_OLDER_VERSION(IIPVideoCaptureEx);
    // Slots 9 and 10: resume and pause the recording stream (only RTSP streams
    // can pause); false when there is none or it cannot.
    virtual bool ResumeVideo(uint32_t videoInput) = 0;
    virtual bool PauseVideo(uint32_t videoInput) = 0;
};

class IIPVideoCaptureEx2 : public IIPVideoCaptureEx {
public:
    // Slot 11: (re)starts the stream of the given kind (StreamKind); the frame
    // interval is plain milliseconds here. Otherwise as StartVideo.
    virtual bool StartStream(uint32_t videoInput, uint32_t kind, IHostFrameSink* sink,
                             IHostStreamSettings* settings) = 0;
    // Slot 12: stops and destroys that stream; false when none was running.
    virtual bool StopStream(uint32_t videoInput, uint32_t kind) = 0;
    TALVIK_NEWEST_VERSION_TAIL(IIPVideoCaptureEx2);
};

}  // namespace ipcapture
}  // namespace talvik
