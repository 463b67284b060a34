// Session descriptions of DESCRIBE answers.
#include "FuzzTarget.h"
#include "rtsp/SDPResponseParser.h"

namespace {

std::string Sdp(const Bytes& in) {
    CSDPResponseParser parser;
    std::ostringstream s;
    s << "ok=" << parser.ParseDescription(std::string(in.begin(), in.end())) << "\n";
    Media(s, parser.GetDescription());
    return s.str();
}

}  // namespace

FUZZ_TARGET(Sdp);
