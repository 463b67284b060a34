// Reading the query of the camera's video requests ("res=half&x0=0&...").
// Plain functions over text, shared by the HTTP and RTSP sides.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace camsim {

// Items of "a=1&b&c=3" in order; an item without "=" has an empty value.
std::vector<std::pair<std::string, std::string>> SplitQuery(const std::string& query);

// What a video request asks for, after checks and defaults.
struct VideoRequest {
    bool half = false;
    unsigned x0 = 0, y0 = 0, x1 = 0, y1 = 0;  // crop window, clamped to the sensor
    unsigned width = 0, height = 0;           // picture size delivered
    unsigned quality = 0;                     // 1 to 20, 0 when absent
    unsigned fps = 25;
    unsigned qp = 0;       // 0 when absent
    unsigned bitrate = 0;  // kbit/s, 0 when absent
};

// Parses a video query for a sensor of the given size. Unknown items are
// ignored (doublescan, ssn, Iframe); a known item with a bad value, an empty
// crop window or a picture below 16 pixels fails with a reason in `error`.
bool ParseVideoQuery(const std::string& query, unsigned sensorWidth, unsigned sensorHeight,
                     VideoRequest* request, std::string* error);

// libjpeg quality (1 to 100) for the camera's quality item (1 to 20; 0 = default).
int JpegQuality(unsigned quality);

}  // namespace camsim
