// The camera's HTTP side on libmicrohttpd: control API, MJPEG streams, single
// JPEG pictures and H.264 key frames, plus the simulator's /sim/ API.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "SimState.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace camsim {

// What the /sim/ API asks of the RTSP side and of the program.
struct SimControls {
    std::function<bool()> dropSessions;      // true once every session is gone
    std::function<void(double)> reboot;      // refuse connections for S seconds
    std::function<unsigned()> rtspSessions;  // sessions open now
    std::function<uint16_t()> rtspPort;
    // RTCP bytes to interleaved clients, `count` times `intervalMs` apart;
    // the number of clients the first one reached.
    std::function<unsigned(const std::vector<uint8_t>&, unsigned count, unsigned intervalMs)>
        sendRtcp;
    // A stranger on every playing stream (RtspServer::SendStranger), `count`
    // times `intervalMs` apart; the number of clients the first one reached.
    std::function<unsigned(unsigned count, unsigned intervalMs)> sendStranger;
};

class HttpServer {
public:
    HttpServer(SimState* state, SimControls controls, std::vector<uint8_t> fileKeyFrame);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Listens on the given port (0 picks a free one).
    bool Start(uint16_t port, std::string* error);
    // Ends every connection (streams included) and closes the port.
    void Stop();
    uint16_t Port() const { return port_; }

    // libmicrohttpd entry points.
    int Handle(MHD_Connection* connection, const std::string& method, const std::string& uri);

private:
    int HandleSim(MHD_Connection* connection, const std::string& path, const std::string& query);
    // `rule`: the fault rule that matched a single picture (a default one: none).
    int HandleCamera(MHD_Connection* connection, const std::string& path, const std::string& query,
                     const FaultRule& rule);
    int HandleGet(MHD_Connection* connection, unsigned sensor, const std::string& query);
    int HandleSet(MHD_Connection* connection, unsigned sensor, const std::string& query);
    int HandleSetReg(MHD_Connection* connection, unsigned sensor, const std::string& query);
    int HandleVideo(MHD_Connection* connection, const std::string& kind, unsigned sensor,
                    const std::string& path, const std::string& query, const FaultRule& rule);
    // A single picture as the rule says: whole, trickled, or under a false
    // Content-Length.
    int SendPicture(MHD_Connection* connection, std::vector<uint8_t> picture,
                    const char* contentType, const FaultRule& rule, uint64_t epoch);
    bool CheckAuth(MHD_Connection* connection, int* result);

    SimState* state_;
    SimControls controls_;
    std::vector<uint8_t> fileKeyFrame_;
    MHD_Daemon* daemon_ = nullptr;
    uint16_t port_ = 0;
};

// Text reply helper shared with the /sim/ handlers.
int SendText(MHD_Connection* connection, unsigned status, const std::string& body,
             const char* contentType = "text/plain");

}  // namespace camsim
