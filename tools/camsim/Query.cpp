#include "Query.h"

#include <algorithm>
#include <cstdlib>

namespace camsim {
namespace {

bool ToNumber(const std::string& text, unsigned max, unsigned* value) {
    if (text.empty() || text.size() > 9) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    unsigned long v = std::strtoul(text.c_str(), nullptr, 10);
    if (v > max) return false;
    *value = static_cast<unsigned>(v);
    return true;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> SplitQuery(const std::string& query) {
    std::vector<std::pair<std::string, std::string>> items;
    size_t pos = 0;
    while (pos <= query.size()) {
        size_t end = query.find('&', pos);
        if (end == std::string::npos) end = query.size();
        std::string item = query.substr(pos, end - pos);
        if (!item.empty()) {
            size_t eq = item.find('=');
            if (eq == std::string::npos)
                items.emplace_back(item, "");
            else
                items.emplace_back(item.substr(0, eq), item.substr(eq + 1));
        }
        pos = end + 1;
    }
    return items;
}

bool ParseVideoQuery(const std::string& query, unsigned sensorWidth, unsigned sensorHeight,
                     VideoRequest* r, std::string* error) {
    *r = VideoRequest();
    r->x1 = sensorWidth;
    r->y1 = sensorHeight;
    for (const auto& item : SplitQuery(query)) {
        const std::string& name = item.first;
        const std::string& value = item.second;
        bool ok = true;
        if (name == "res") {
            ok = value == "full" || value == "half";
            r->half = value == "half";
        } else if (name == "x0") {
            ok = ToNumber(value, 100000, &r->x0);
        } else if (name == "y0") {
            ok = ToNumber(value, 100000, &r->y0);
        } else if (name == "x1") {
            ok = ToNumber(value, 100000, &r->x1);
        } else if (name == "y1") {
            ok = ToNumber(value, 100000, &r->y1);
        } else if (name == "quality") {
            ok = ToNumber(value, 20, &r->quality) && r->quality >= 1;
        } else if (name == "fps") {
            ok = ToNumber(value, 60, &r->fps) && r->fps >= 1;
        } else if (name == "qp") {
            ok = ToNumber(value, 51, &r->qp) && r->qp >= 1;
        } else if (name == "bitrate") {
            ok = ToNumber(value, 100000, &r->bitrate) && r->bitrate >= 1;
        }
        if (!ok) {
            *error = "bad value '" + value + "' for " + name;
            return false;
        }
    }
    // Like the camera, a window beyond the sensor is cut to the sensor.
    r->x1 = std::min(r->x1, sensorWidth);
    r->y1 = std::min(r->y1, sensorHeight);
    if (r->x1 <= r->x0 || r->y1 <= r->y0) {
        *error = "empty crop window";
        return false;
    }
    unsigned w = r->x1 - r->x0, h = r->y1 - r->y0;
    if (r->half) {
        w /= 2;
        h /= 2;
    }
    // Even sizes for 4:2:0 pictures.
    w &= ~1u;
    h &= ~1u;
    if (w < 16 || h < 16) {
        *error = "picture smaller than 16x16";
        return false;
    }
    r->width = w;
    r->height = h;
    return true;
}

int JpegQuality(unsigned quality) {
    if (quality == 0) return 75;
    return static_cast<int>(std::min(100u, quality * 5));
}

}  // namespace camsim
