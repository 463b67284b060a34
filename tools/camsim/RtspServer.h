// The camera's RTSP side on GStreamer's RTSP server: H.264 mounts per sensor,
// live x264 content or a looped file, auth, session time-out, request log,
// counters and the RTP faults. The server listens on the default GLib main
// context, whose thread must make every call below (except SessionCount);
// each client is served on a thread of the server's pool.
#pragma once

#include <gst/rtsp-server/rtsp-server.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "SimState.h"

namespace camsim {

// Pre-encoded content shared by every stream when --h264-file is used.
struct FileContent {
    std::vector<std::vector<uint8_t>> accessUnits;
};

class RtspServer {
public:
    RtspServer(SimState* state, std::shared_ptr<const FileContent> file);
    ~RtspServer();
    RtspServer(const RtspServer&) = delete;
    RtspServer& operator=(const RtspServer&) = delete;

    bool Start(uint16_t port, std::string* error);
    uint16_t Port() const { return port_; }
    // Ends every session and closes every client connection.
    void DropSessions();
    // Sends the bytes as one RTCP packet to every client playing over
    // interleaved TCP, on its RTCP channel; returns how many it reached.
    unsigned SendRtcp(const std::vector<uint8_t>& bytes);
    // A stranger on every playing client's stream: over UDP one RTP packet
    // to the client's RTP port, from this camera's address, with a foreign
    // SSRC (numbered on from the last one) and 100 random payload bytes; over
    // interleaved TCP a '$' frame on the RTP channel whose header promises
    // 65535 bytes and that carries 100 random bytes, the camera's frames
    // following at once. Returns how many clients it reached.
    unsigned SendStranger();
    // Stops listening and drops everything (Resume listens again on the same port).
    void Suspend();
    bool Resume(std::string* error);
    // Thread-safe.
    unsigned SessionCount();

private:
    bool Attach(std::string* error);
    // Runs every second: the server library's clean-up of timed-out sessions,
    // and under --refresh-on the end of sessions not refreshed in time.
    static gboolean OnCleanup(gpointer self);

    SimState* state_;
    std::shared_ptr<const FileContent> file_;
    GstRTSPServer* server_ = nullptr;
    guint sourceId_ = 0;
    guint cleanupId_ = 0;
    uint16_t port_ = 0;
    int strangerSocket_ = -1;  // UDP, bound to the camera's address
    uint16_t strangerSequence_ = 0;
    std::mt19937 random_{std::random_device{}()};
};

}  // namespace camsim
