// Arbitrary datagrams walked as RTCP compound packets, the way the RTCP handler
// does with what arrives on its port, and the answer built from any SR found.
#include "FuzzTarget.h"
#include "rtsp/RTCPPackets.h"

namespace {

std::string RtcpCompound(const Bytes& in) {
    std::ostringstream s;
    size_t covered = 0;
    const size_t n = rtcp::WalkCompound(in.data(), in.size(), [&](const rtcp::PacketView& p) {
        // The packets follow each other within the datagram.
        FUZZ_CHECK(p.data == in.data() + covered && p.size >= rtcp::kHeaderSize &&
                   covered + p.size <= in.size());
        covered += p.size;
        s << "packet " << int(p.type) << "/" << p.size << " at " << (p.data - in.data());
        rtcp::SenderReportInfo sr;
        if (rtcp::ParseSenderReport(p, sr)) {
            const rtcp::ReceiverReportFields f{sr.versionBits, {}, sr.ssrc, 0, sr.lastSr, 0};
            const auto rr = rtcp::BuildReceiverReport(f);
            // What we send walks back as exactly one receiver report.
            FUZZ_CHECK(rtcp::WalkCompound(rr.data(), rr.size(), [&](const rtcp::PacketView& r) {
                           FUZZ_CHECK(r.type == rtcp::kReceiverReport && r.size == rr.size());
                       }) == 1);
            s << " sr v=" << int(sr.versionBits) << " ssrc=" << Hex(sr.ssrc.data(), 4)
              << " lsr=" << Hex(sr.lastSr.data(), 4)
              << " rr=" << Hex(rr.data(), rtcp::kReceiverReportSize);
        }
        s << "\n";
    });
    s << "walked " << n << "\n";
    return s.str();
}

}  // namespace

FUZZ_TARGET(RtcpCompound);
