// Picture content of the simulator: JPEG frames (libjpeg) that name their
// sensor and frame number in a comment segment, and H.264 key frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace camsim {

// A baseline JPEG of the given size and libjpeg quality with the comment
// "camsim sensor=S frame=N". With exifThumbnail it also carries, after its
// JFIF segment, an EXIF APP1 segment whose IFD1 holds a 16x12 thumbnail (a
// whole JPEG with its own SOI, frame header and EOI), as cameras write it.
// Empty on failure.
std::vector<uint8_t> MakeJpeg(unsigned width, unsigned height, int quality, unsigned sensor,
                              uint64_t frame, bool exifThumbnail = false);

// One NAL unit inside an Annex B buffer: payload offset (after the start
// code), payload size and type.
struct NalUnit {
    size_t offset = 0;
    size_t size = 0;
    uint8_t type = 0;
};
std::vector<NalUnit> SplitAnnexB(const uint8_t* data, size_t size);

// Access units of an Annex B stream, each re-emitted with 4-byte start codes.
std::vector<std::vector<uint8_t>> SplitAccessUnits(const std::vector<uint8_t>& stream);

// An IDR access unit rearranged to start with its SPS and PPS, followed by
// its slices (delimiters and SEI dropped). Empty when `au` has no SPS, PPS
// or IDR slice.
std::vector<uint8_t> KeyFrameWithParameterSets(const std::vector<uint8_t>& au);

// Reads a pre-encoded Annex B file into access units; it must hold at least
// one IDR picture with its SPS and PPS.
bool LoadH264File(const std::string& path, std::vector<std::vector<uint8_t>>* accessUnits,
                  std::vector<uint8_t>* keyFrame, std::string* error);

// Encodes one H.264 key frame of the given size with x264 (SPS, PPS, IDR).
bool EncodeKeyFrame(unsigned width, unsigned height, std::vector<uint8_t>* keyFrame,
                    std::string* error);

}  // namespace camsim
