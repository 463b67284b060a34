// Walks arbitrary datagrams as RTCP compound packets, the way the RTCP handler
// does with what arrives on its port, and builds the answer from any SR found.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "rtsp/RTCPPackets.h"

using namespace talvik;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t covered = 0;
    rtcp::SenderReportInfo info;
    bool haveSr = false;
    rtcp::WalkCompound(data, size, [&](const rtcp::PacketView& packet) {
        if (packet.data < data || packet.size < rtcp::kHeaderSize ||
            packet.data + packet.size > data + size || size_t(packet.data - data) != covered) {
            abort();
        }
        covered += packet.size;
        if (rtcp::ParseSenderReport(packet, info)) haveSr = true;
    });
    if (covered > size) abort();
    if (haveSr) {
        rtcp::ReceiverReportFields fields;
        fields.versionBits = info.versionBits;
        fields.sourceSsrc = info.ssrc;
        fields.lastSr = info.lastSr;
        const auto rr = rtcp::BuildReceiverReport(fields);
        // What we send must walk back as exactly one receiver report.
        size_t count = 0;
        rtcp::WalkCompound(rr.data(), rr.size(), [&](const rtcp::PacketView& p) {
            if (p.type != rtcp::kReceiverReport || p.size != rr.size()) abort();
            ++count;
        });
        if (count != 1) abort();
    }
    return 0;
}
