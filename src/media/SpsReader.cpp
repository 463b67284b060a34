#include "media/SpsReader.h"

#include <algorithm>
#include <vector>

namespace talvik {

namespace {

constexpr size_t kStartCodeSearch = 64;
constexpr uint8_t kNalSps = 7;
// Far above the largest SPS an encoder writes (scaling lists and a 255-entry
// picture order cycle included); keeps a hostile access unit from costing more.
constexpr size_t kMaxSpsBytes = 4096;
constexpr uint32_t kMaxRefFramesInPocCycle = 255;

// The SPS payload without emulation-prevention bytes (00 00 03 -> 00 00), up to
// the next start code or the end of the data.
std::vector<uint8_t> ExtractRbsp(const uint8_t* data, size_t size) {
    std::vector<uint8_t> rbsp;
    rbsp.reserve(size < kMaxSpsBytes ? size : kMaxSpsBytes);
    unsigned zeros = 0;
    for (size_t i = 0; i < size && rbsp.size() < kMaxSpsBytes; ++i) {
        const uint8_t byte = data[i];
        if (zeros >= 2 && byte <= 2) break;  // 00 00 00/01/02 ends the NAL unit
        if (zeros >= 2 && byte == 3) {
            zeros = 0;
            continue;
        }
        zeros = byte == 0 ? zeros + 1 : 0;
        rbsp.push_back(byte);
    }
    return rbsp;
}

bool HasChromaFormat(uint32_t profile) {
    // High profiles and CAVLC 4:4:4 Intra carry chroma format, bit depths and
    // scaling matrices.
    return profile >= 100 || profile == 44;
}

void SkipScalingList(CBitReader& reader, unsigned count) {
    int64_t lastScale = 8;
    int64_t nextScale = 8;
    for (unsigned j = 0; j < count && !reader.Failed(); ++j) {
        if (nextScale != 0) {
            const int64_t delta = reader.ReadSe();
            nextScale = ((lastScale + delta) % 256 + 256) % 256;
        }
        if (nextScale != 0) lastScale = nextScale;
    }
}

}  // namespace

uint32_t CBitReader::ReadBit() {
    if (position_ >= size_) {
        failed_ = true;
        return 1;
    }
    const uint32_t bit = (data_[position_] >> (7 - bit_)) & 1u;
    if (++bit_ == 8) {
        bit_ = 0;
        ++position_;
    }
    return bit;
}

uint32_t CBitReader::ReadBits(unsigned count) {
    uint32_t value = 0;
    for (unsigned i = 0; i < count; ++i)
        value = (value << 1) | ReadBit();
    return value;
}

uint32_t CBitReader::ReadUe() {
    unsigned zeros = 0;
    while (ReadBit() == 0) {
        if (++zeros > 31) {
            failed_ = true;
            return 0;
        }
    }
    const uint64_t value = (uint64_t(1) << zeros) - 1 + ReadBits(zeros);
    if (value > UINT32_MAX) {
        failed_ = true;
        return 0;
    }
    return uint32_t(value);
}

int64_t CBitReader::ReadSe() {
    const uint32_t code = ReadUe();
    return (code & 1) ? int64_t(code / 2) + 1 : -int64_t(code / 2);
}

SpsSize ReadSpsSize(const uint8_t* data, size_t size, uint32_t& width, uint32_t& height) {
    width = 0;
    height = 0;
    if (!data) return SpsSize::kNone;

    size_t nal = size;
    for (size_t i = 0; i < kStartCodeSearch && i + 3 < size; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 &&
            (data[i + 3] & 0x1f) == kNalSps) {
            nal = i + 3;
            break;
        }
    }
    if (nal >= size) return SpsSize::kNone;

    const std::vector<uint8_t> rbsp = ExtractRbsp(data + nal + 1, size - nal - 1);
    CBitReader reader(rbsp.data(), rbsp.size());

    const uint32_t profile = reader.ReadBits(8);
    reader.ReadBits(8);  // constraint flags and reserved bits
    reader.ReadBits(8);  // level_idc
    reader.ReadUe();     // seq_parameter_set_id

    uint32_t chromaFormat = 1;  // 4:2:0 unless signalled
    bool separateColourPlanes = false;
    if (HasChromaFormat(profile)) {
        chromaFormat = reader.ReadUe();
        if (chromaFormat > 3) return SpsSize::kNone;
        if (chromaFormat == 3) separateColourPlanes = reader.ReadBit() != 0;
        reader.ReadUe();   // bit_depth_luma_minus8
        reader.ReadUe();   // bit_depth_chroma_minus8
        reader.ReadBit();  // qpprime_y_zero_transform_bypass_flag
        if (reader.ReadBit()) {
            // 4:4:4 adds the Cb and Cr 8x8 lists.
            const unsigned lists = chromaFormat == 3 ? 12 : 8;
            for (unsigned i = 0; i < lists && !reader.Failed(); ++i) {
                if (reader.ReadBit()) SkipScalingList(reader, i < 6 ? 16 : 64);
            }
        }
    }

    reader.ReadUe();  // log2_max_frame_num_minus4
    const uint32_t pocType = reader.ReadUe();
    if (pocType == 0) {
        reader.ReadUe();  // log2_max_pic_order_cnt_lsb_minus4
    } else if (pocType == 1) {
        reader.ReadBit();  // delta_pic_order_always_zero_flag
        reader.ReadSe();   // offset_for_non_ref_pic
        reader.ReadSe();   // offset_for_top_to_bottom_field
        const uint32_t cycle = reader.ReadUe();
        if (cycle > kMaxRefFramesInPocCycle) return SpsSize::kNone;
        for (uint32_t i = 0; i < cycle && !reader.Failed(); ++i)
            reader.ReadSe();
    }
    reader.ReadUe();   // max_num_ref_frames
    reader.ReadBit();  // gaps_in_frame_num_value_allowed_flag
    const uint64_t widthInMbs = uint64_t(reader.ReadUe()) + 1;
    const uint64_t heightInMapUnits = uint64_t(reader.ReadUe()) + 1;
    const uint32_t frameMbsOnly = reader.ReadBit();
    if (!frameMbsOnly) reader.ReadBit();  // mb_adaptive_frame_field_flag
    reader.ReadBit();                     // direct_8x8_inference_flag

    int64_t w = int64_t(widthInMbs * 16);
    int64_t h = int64_t((2 - frameMbsOnly) * heightInMapUnits * 16);
    if (reader.ReadBit()) {
        const int64_t left = reader.ReadUe();
        const int64_t right = reader.ReadUe();
        const int64_t top = reader.ReadUe();
        const int64_t bottom = reader.ReadUe();
        // Offsets count chroma samples (H.264 7-19 to 7-22): two luma samples per
        // offset in 4:2:0 width, one in 4:4:4 and monochrome; a field picture
        // doubles the vertical unit.
        const bool subsampledX = !separateColourPlanes && (chromaFormat == 1 || chromaFormat == 2);
        const bool subsampledY = !separateColourPlanes && chromaFormat == 1;
        const int64_t unitX = subsampledX ? 2 : 1;
        const int64_t unitY = (subsampledY ? 2 : 1) * (2 - int64_t(frameMbsOnly));
        w -= unitX * (left + right);
        h -= unitY * (top + bottom);
    }
    if (reader.Failed() || w <= 0 || h <= 0) return SpsSize::kNone;
    if (w > kMaxPictureSide || h > kMaxPictureSide) {
        // Reported as far as it fits; the caller only names it.
        width = uint32_t(std::min<int64_t>(w, UINT32_MAX));
        height = uint32_t(std::min<int64_t>(h, UINT32_MAX));
        return SpsSize::kOversized;
    }
    width = uint32_t(w);
    height = uint32_t(h);
    return SpsSize::kDecoded;
}

}  // namespace talvik
