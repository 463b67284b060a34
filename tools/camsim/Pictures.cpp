#include "Pictures.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <jpeglib.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace camsim {
namespace {

struct JpegError {
    jpeg_error_mgr mgr;
    jmp_buf jump;
};

void OnJpegError(j_common_ptr cinfo) {
    longjmp(reinterpret_cast<JpegError*>(cinfo->err)->jump, 1);
}

// Kept free of C++ objects with destructors because libjpeg errors longjmp out.
bool CompressJpeg(unsigned width, unsigned height, int quality, unsigned sensor, uint64_t frame,
                  const char* comment, const unsigned char* app1, unsigned app1Size,
                  unsigned char* row, unsigned char** out, unsigned long* outSize) {
    jpeg_compress_struct cinfo;
    JpegError err;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = OnJpegError;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, out, outSize);
    cinfo.image_width = width;
    cinfo.image_height = height;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_YCbCr;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    if (app1Size > 0) jpeg_write_marker(&cinfo, JPEG_APP0 + 1, app1, app1Size);
    jpeg_write_marker(&cinfo, JPEG_COM, reinterpret_cast<const JOCTET*>(comment),
                      static_cast<unsigned>(strlen(comment)));
    // Diagonal stripes that move with the frame number, tinted per sensor,
    // and a bright bar whose row follows the frame number.
    unsigned bar = static_cast<unsigned>(frame % height);
    unsigned char cb = static_cast<unsigned char>(64 + 40 * (sensor % 4));
    unsigned char cr = static_cast<unsigned char>(200 - 40 * (sensor % 4));
    while (cinfo.next_scanline < height) {
        unsigned y = cinfo.next_scanline;
        for (unsigned x = 0; x < width; ++x) {
            unsigned char luma =
                static_cast<unsigned char>(((x + y + frame * 4) / 16 % 2) ? 180 : 60);
            if (y >= bar && y < bar + 8) luma = 235;
            row[3 * x] = luma;
            row[3 * x + 1] = cb;
            row[3 * x + 2] = cr;
        }
        JSAMPROW rows[1] = {row};
        jpeg_write_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}

bool IsVcl(uint8_t type) {
    return type == 1 || type == 5;
}

void AppendNal(std::vector<uint8_t>* out, const uint8_t* data, const NalUnit& nal) {
    static const uint8_t kStart[4] = {0, 0, 0, 1};
    out->insert(out->end(), kStart, kStart + 4);
    out->insert(out->end(), data + nal.offset, data + nal.offset + nal.size);
}

void PutBig(std::vector<uint8_t>* out, uint32_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i)
        out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// One 12-byte IFD entry with a value of up to four bytes (left-aligned).
void PutEntry(std::vector<uint8_t>* out, uint16_t tag, uint16_t type, uint32_t value,
              int valueBytes) {
    PutBig(out, tag, 2);
    PutBig(out, type, 2);
    PutBig(out, 1, 4);
    PutBig(out, value, valueBytes);
    for (int i = valueBytes; i < 4; ++i)
        out->push_back(0);
}

// The APP1 payload: "Exif", a big-endian TIFF header, IFD0 (orientation) and
// IFD1 pointing at the thumbnail, then the thumbnail itself.
std::vector<uint8_t> ExifWithThumbnail(const std::vector<uint8_t>& thumbnail) {
    const uint32_t ifd0 = 8;
    const uint32_t ifd1 = ifd0 + 2 + 12 + 4;
    const uint32_t data = ifd1 + 2 + 3 * 12 + 4;
    std::vector<uint8_t> out = {'E', 'x', 'i', 'f', 0, 0, 'M', 'M', 0, 0x2A};
    PutBig(&out, ifd0, 4);
    PutBig(&out, 1, 2);
    PutEntry(&out, 0x0112, 3, 1, 2);  // Orientation: top left
    PutBig(&out, ifd1, 4);
    PutBig(&out, 3, 2);
    PutEntry(&out, 0x0103, 3, 6, 2);  // Compression: JPEG
    PutEntry(&out, 0x0201, 4, data, 4);
    PutEntry(&out, 0x0202, 4, static_cast<uint32_t>(thumbnail.size()), 4);
    PutBig(&out, 0, 4);
    out.insert(out.end(), thumbnail.begin(), thumbnail.end());
    return out;
}

}  // namespace

std::vector<uint8_t> MakeJpeg(unsigned width, unsigned height, int quality, unsigned sensor,
                              uint64_t frame, bool exifThumbnail) {
    if (width == 0 || height == 0 || width > 16384 || height > 16384) return {};
    char comment[96];
    snprintf(comment, sizeof(comment), "camsim sensor=%u frame=%llu", sensor,
             static_cast<unsigned long long>(frame));
    std::vector<unsigned char> row(static_cast<size_t>(width) * 3);
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    std::vector<uint8_t> exif;
    if (exifThumbnail) {
        const std::vector<uint8_t> thumbnail = MakeJpeg(16, 12, quality, sensor, frame);
        if (thumbnail.empty()) return {};
        exif = ExifWithThumbnail(thumbnail);
    }
    bool ok = CompressJpeg(width, height, quality, sensor, frame, comment, exif.data(),
                           static_cast<unsigned>(exif.size()), row.data(), &out, &outSize);
    std::vector<uint8_t> jpeg;
    if (ok && out) jpeg.assign(out, out + outSize);
    free(out);
    return jpeg;
}

std::vector<NalUnit> SplitAnnexB(const uint8_t* data, size_t size) {
    std::vector<NalUnit> nals;
    size_t i = 0;
    size_t start = SIZE_MAX;
    while (i + 3 <= size) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            if (start != SIZE_MAX) {
                size_t end = i;
                while (end > start && data[end - 1] == 0)
                    --end;  // zero of a 4-byte code
                if (end > start) nals.push_back({start, end - start, uint8_t(data[start] & 0x1f)});
            }
            start = i + 3;
            i += 3;
        } else {
            ++i;
        }
    }
    if (start != SIZE_MAX && start < size)
        nals.push_back({start, size - start, uint8_t(data[start] & 0x1f)});
    return nals;
}

std::vector<std::vector<uint8_t>> SplitAccessUnits(const std::vector<uint8_t>& stream) {
    std::vector<std::vector<uint8_t>> units;
    std::vector<uint8_t> current;
    bool currentHasSlice = false;
    for (const NalUnit& nal : SplitAnnexB(stream.data(), stream.size())) {
        // A new picture starts with a non-VCL unit after a slice, or with a
        // slice whose first_mb_in_slice is 0 (first bit of its ue(v) is 1).
        bool firstSlice = IsVcl(nal.type) && nal.size > 1 && (stream[nal.offset + 1] & 0x80);
        bool startsUnit = currentHasSlice && (!IsVcl(nal.type) || firstSlice);
        if (startsUnit) {
            units.push_back(std::move(current));
            current.clear();
            currentHasSlice = false;
        }
        AppendNal(&current, stream.data(), nal);
        if (IsVcl(nal.type)) currentHasSlice = true;
    }
    if (currentHasSlice) units.push_back(std::move(current));
    return units;
}

std::vector<uint8_t> KeyFrameWithParameterSets(const std::vector<uint8_t>& au) {
    std::vector<uint8_t> sps, pps, slices;
    for (const NalUnit& nal : SplitAnnexB(au.data(), au.size())) {
        if (nal.type == 7 && sps.empty()) AppendNal(&sps, au.data(), nal);
        if (nal.type == 8 && pps.empty()) AppendNal(&pps, au.data(), nal);
        if (nal.type == 5) AppendNal(&slices, au.data(), nal);
    }
    if (sps.empty() || pps.empty() || slices.empty()) return {};
    sps.insert(sps.end(), pps.begin(), pps.end());
    sps.insert(sps.end(), slices.begin(), slices.end());
    return sps;
}

bool LoadH264File(const std::string& path, std::vector<std::vector<uint8_t>>* accessUnits,
                  std::vector<uint8_t>* keyFrame, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot open " + path;
        return false;
    }
    in.seekg(0, std::ios::end);
    std::streamoff size = in.tellg();
    const std::streamoff kMaxFile = 512ll * 1024 * 1024;
    if (size <= 0 || size > kMaxFile) {
        *error = path + ": empty or larger than 512 MB";
        return false;
    }
    in.seekg(0);
    std::vector<uint8_t> data(static_cast<size_t>(size));
    in.read(reinterpret_cast<char*>(data.data()), size);
    if (!in) {
        *error = "cannot read " + path;
        return false;
    }
    *accessUnits = SplitAccessUnits(data);
    keyFrame->clear();
    for (const auto& au : *accessUnits) {
        *keyFrame = KeyFrameWithParameterSets(au);
        if (!keyFrame->empty()) break;
    }
    if (keyFrame->empty()) {
        *error = path + ": no IDR picture with SPS and PPS (is it Annex B H.264?)";
        return false;
    }
    return true;
}

bool EncodeKeyFrame(unsigned width, unsigned height, std::vector<uint8_t>* keyFrame,
                    std::string* error) {
    char desc[512];
    snprintf(desc, sizeof(desc),
             "videotestsrc num-buffers=1 pattern=smpte ! "
             "video/x-raw,format=I420,width=%u,height=%u,framerate=1/1 ! "
             "x264enc speed-preset=ultrafast tune=zerolatency key-int-max=1 ! "
             "video/x-h264,stream-format=byte-stream,alignment=au ! appsink name=sink sync=false",
             width, height);
    GError* gerror = nullptr;
    GstElement* pipeline = gst_parse_launch(desc, &gerror);
    if (!pipeline) {
        *error = gerror ? gerror->message : "cannot build encoder";
        if (gerror) g_error_free(gerror);
        return false;
    }
    if (gerror) g_error_free(gerror);
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 10 * GST_SECOND);
    bool ok = false;
    if (sample) {
        GstBuffer* buffer = gst_sample_get_buffer(sample);
        GstMapInfo map;
        if (buffer && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            std::vector<uint8_t> au(map.data, map.data + map.size);
            gst_buffer_unmap(buffer, &map);
            *keyFrame = KeyFrameWithParameterSets(au);
            ok = !keyFrame->empty();
        }
        gst_sample_unref(sample);
    }
    if (!ok) *error = "encoder gave no key frame";
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(sink);
    gst_object_unref(pipeline);
    return ok;
}

}  // namespace camsim
