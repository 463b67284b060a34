// A fuzz target is one function that reads an input the way its parser's
// caller does, traps on any broken invariant and returns a summary of what the
// parser made of it. Built with libFuzzer it is the fuzzer's entry; in the
// replay test (TALVIK_FUZZ_REPLAY) it is registered under its file's name and
// every seed of fuzz/corpus/<name>/ must give its part of <name>.expected.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>

#include "rtsp/SDPResponseParser.h"
#include "support/FakeHost.h"

namespace talvik_fuzz {

using namespace talvik;
using Bytes = std::vector<uint8_t>;
using Summary = std::string (*)(const Bytes&);

inline std::map<std::string, Summary>& Targets() {
    static std::map<std::string, Summary> targets;
    return targets;
}

inline bool Register(std::string file, Summary summary) {
    file = file.substr(file.find_last_of("/\\") + 1);
    Targets()[file.substr(0, file.rfind('.'))] = summary;
    return true;
}

// Short byte runs in full; longer ones by size, head and FNV-1a hash.
inline std::string Hex(const uint8_t* data, size_t size) {
    std::string out;
    char b[16];
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < size; ++i) {
        if (i < 48) out.append(b, std::snprintf(b, sizeof b, "%02x", data[i]));
        hash = (hash ^ data[i]) * 16777619u;
    }
    if (size <= 48) return out;
    return std::to_string(size) + ":" + out +
           std::string(b, std::snprintf(b, sizeof b, "..#%08x", hash));
}
inline std::string Hex(const Bytes& b) {
    return Hex(b.data(), b.size());
}

// The input cut at every `separator` into at most `most` parts.
inline std::vector<std::string> Split(const Bytes& in, uint8_t separator, size_t most) {
    std::vector<std::string> parts(1);
    for (uint8_t c : in)
        if (c == separator && parts.size() < most)
            parts.emplace_back();
        else
            parts.back().push_back(static_cast<char>(c));
    return parts;
}

// What reached the host, what was released, and what was logged.
inline void HostFrames(std::ostream& s, const talvik_test::FakeHost& host,
                       talvik_test::FakeDriver& d) {
    for (const talvik_test::FrameRecord& f : host.Frames()) {
        s << "host " << std::string(reinterpret_cast<const char*>(&f.fourcc), 4) << " " << f.width
          << "x" << f.height << " class=" << f.resolutionClass << " asked=" << f.requestedSize
          << " name=" << f.streamName << (f.stamped ? " stamped " : " ") << Hex(f.bytes);
        for (const std::string& call : f.calls)
            s << " " << call;
        s << "\n";
    }
    s << "released " << host.Released() << " of " << host.Created() << "\n";
    for (const talvik_test::LogLine& line : d.log.Lines())
        s << "log " << line.level << " " << line.text << "\n";
}

// What a session description gave (SDP and RTSP answers).
inline void Media(std::ostream& s, const SDPDescription& d) {
    for (size_t i = 0; i < d.media.size(); ++i) {
        const RTSPMediaInfo& m = d.media[i];
        if (m.IsEmpty() && m.port == 0 && m.address.empty()) continue;
        s << "media" << i << " port=" << m.port << " profile=" << m.profile
          << " address=" << m.address << " control=" << m.control << " pt=" << int(m.payloadType)
          << " encoding=" << m.encoding << " fmtp=" << m.fmtp << "\n";
    }
    const AACStreamParams& a = d.aac;
    s << "audio codec=" << d.audio.codec << " rate=" << d.audio.clockRate
      << " bitrate=" << d.audio.bitrate << " channels=" << int(d.audio.channels)
      << " aac=" << a.streamType << "/" << a.profileLevelId << "/" << a.mode << "/" << Hex(a.config)
      << "/" << a.sizeLength << "," << a.indexLength << "," << a.indexDeltaLength << ","
      << a.ctsDeltaLength << "," << a.dtsDeltaLength << "\n";
    s << "server ports " << d.serverRtpPort << "-" << d.serverRtcpPort << "\n";
    for (const H264ParameterSetEntry& e : d.parameterSets)
        s << "sets pt=" << e.payloadType << " sps=" << Hex(e.sps) << " pps=" << Hex(e.pps) << "\n";
}

}  // namespace talvik_fuzz

// The targets' files use these names bare.
using namespace talvik_fuzz;

// Traps (the fuzzer's finding, the replay test's crash) after naming the check.
#define FUZZ_CHECK(c) \
    ((c) ? (void)0 : (std::fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #c), std::abort()))

// The replay test affords checks that would slow the fuzzer down.
#ifdef TALVIK_FUZZ_REPLAY
constexpr bool kReplay = true;
#define FUZZ_TARGET(summary) \
    [[maybe_unused]] static const bool registered = talvik_fuzz::Register(__FILE__, summary)
#else
constexpr bool kReplay = false;
#define FUZZ_TARGET(summary)                                                  \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { \
        summary(talvik_fuzz::Bytes(data, data + size));                       \
        return 0;                                                             \
    }
#endif
