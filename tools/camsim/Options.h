// Command line of the camera simulator.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace camsim {

enum class AuthMode { None, Basic, Digest };
enum class IoMode { Numeric, OnOff, None };

struct Options {
    std::string bind = "127.0.0.1";
    uint16_t httpPort = 80;
    uint16_t rtspPort = 554;
    unsigned sensors = 1;
    std::string model = "AV2155";
    unsigned sensorWidth = 1920;
    unsigned sensorHeight = 1080;
    std::string firmware = "65246";
    AuthMode auth = AuthMode::None;
    std::string user = "admin";
    std::string password = "admin";
    IoMode io = IoMode::Numeric;
    std::string h264File;
    bool exifThumbnail = false;  // every JPEG carries an EXIF APP1 with a thumbnail
    unsigned sessionTimeoutS = 60;
    // RTSP methods that refresh a session (--refresh-on); empty: every request
    // and every RTCP packet, as the server library does.
    std::vector<std::string> refreshOn;
    double durationS = 0;  // 0: until stopped
    bool help = false;
};

// Fills `options` from argv (without the program name). On a bad argument
// returns false with a one-line reason in `error`.
bool ParseOptions(const std::vector<std::string>& args, Options* options, std::string* error);

// The --help text: every flag with its meaning and an example.
std::string UsageText();

}  // namespace camsim
