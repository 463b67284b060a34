// Callbacks of the RTSP client to its owner (the RTSP channel). All are called
// on the client thread; the client catches whatever they throw.
#pragma once

namespace talvik {

class CRTPPacket;
struct RTSPSessionInfo;

class IRTSPClientUser {
public:
    virtual ~IRTSPClientUser() = default;
    // After SETUP succeeded, once per run; false skips PLAY and PAUSE.
    virtual bool OnRTSPSessionReady(RTSPSessionInfo* info) = 0;
    // Interleaved mode only: one RTP packet read from the RTSP connection,
    // valid only during the call.
    virtual void OnInterleavedPacket(CRTPPacket* packet) = 0;
    // At the end of every run of the client thread.
    virtual void OnRTSPClientStopped() = 0;
};

}  // namespace talvik
