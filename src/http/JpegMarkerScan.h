// The search at the heart of cutting JPEG images out of a stream: in
// entropy-coded data nearly every FF is a stuffed data byte, so a plain
// search for FF stops thousands of times per picture. This one stops only
// where a marker may start.
#pragma once

#include <cstdint>
#include <vector>

namespace talvik {

// The first FF in [begin, end) that is not followed by 00 (a stuffed data
// byte), 01 (TEM) or D0-D7 (restart markers), which stand alone and are
// passed over; an FF that is the last byte counts, as its follower is not
// known yet. Returns end when there is none.
const uint8_t* FindEntropyMarker(const uint8_t* begin, const uint8_t* end);

// Every way of that search this processor can run, the one in use first, so
// that a test can hold each to the same answers.
using EntropyMarkerScan = const uint8_t* (*)(const uint8_t*, const uint8_t*);
std::vector<EntropyMarkerScan> EntropyMarkerScans();

}  // namespace talvik
