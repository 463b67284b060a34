#include "http/JpegMarkerScan.h"

#include <cstring>

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#define TALVIK_VECTOR_SCAN 1
#endif

namespace talvik {

namespace {

constexpr uint8_t kMarker = 0xFF;

bool PassedOver(uint8_t code) {
    return code <= 0x01 || (code & 0xF8) == 0xD0;
}

// Byte by byte: the tail of a vector scan.
const uint8_t* ScanBytes(const uint8_t* p, const uint8_t* end) {
    for (; p < end; ++p) {
        if (*p == kMarker && (p + 1 == end || !PassedOver(p[1]))) return p;
    }
    return end;
}

// Without vectors: from FF to FF.
const uint8_t* ScanFromFFToFF(const uint8_t* p, const uint8_t* end) {
    for (;;) {
        p = static_cast<const uint8_t*>(std::memchr(p, kMarker, static_cast<size_t>(end - p)));
        if (p == nullptr) return end;
        if (p + 1 < end && PassedOver(p[1])) {
            p += 2;
            continue;
        }
        return p;
    }
}

#ifdef TALVIK_VECTOR_SCAN
// Each step looks at 64 positions and the byte after each, without a branch
// per FF: a mask of the FFs whose follower is not passed over. A step reads
// p[0..64], so it runs while more than 64 bytes are left.
constexpr size_t kStep = 64;

__attribute__((target("avx2"))) __m256i MarkersAvx2(const uint8_t* q) {
    const __m256i data = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
    const __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 1));
    // next <= 01, or next in D0-D7
    const __m256i low = _mm256_cmpeq_epi8(_mm256_min_epu8(next, _mm256_set1_epi8(1)), next);
    const __m256i restart =
        _mm256_cmpeq_epi8(_mm256_and_si256(next, _mm256_set1_epi8(static_cast<char>(0xF8))),
                          _mm256_set1_epi8(static_cast<char>(0xD0)));
    const __m256i ff = _mm256_cmpeq_epi8(data, _mm256_set1_epi8(static_cast<char>(kMarker)));
    return _mm256_andnot_si256(_mm256_or_si256(low, restart), ff);
}

__attribute__((target("avx2"))) const uint8_t* ScanAvx2(const uint8_t* p, const uint8_t* end) {
    for (; static_cast<size_t>(end - p) > kStep; p += kStep) {
        const __m256i first = MarkersAvx2(p);
        const __m256i second = MarkersAvx2(p + 32);
        if (_mm256_testz_si256(_mm256_or_si256(first, second), _mm256_set1_epi8(-1))) continue;
        const uint32_t low = static_cast<uint32_t>(_mm256_movemask_epi8(first));
        if (low != 0) return p + __builtin_ctz(low);
        return p + 32 + __builtin_ctz(static_cast<uint32_t>(_mm256_movemask_epi8(second)));
    }
    return ScanBytes(p, end);
}

__attribute__((target("sse2"))) __m128i MarkersSse2(const uint8_t* q) {
    const __m128i data = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
    const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 1));
    const __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(next, _mm_set1_epi8(1)), next);
    const __m128i restart =
        _mm_cmpeq_epi8(_mm_and_si128(next, _mm_set1_epi8(static_cast<char>(0xF8))),
                       _mm_set1_epi8(static_cast<char>(0xD0)));
    const __m128i ff = _mm_cmpeq_epi8(data, _mm_set1_epi8(static_cast<char>(kMarker)));
    return _mm_andnot_si128(_mm_or_si128(low, restart), ff);
}

__attribute__((target("sse2"))) const uint8_t* ScanSse2(const uint8_t* p, const uint8_t* end) {
    for (; static_cast<size_t>(end - p) > kStep; p += kStep) {
        const __m128i m0 = MarkersSse2(p);
        const __m128i m1 = MarkersSse2(p + 16);
        const __m128i m2 = MarkersSse2(p + 32);
        const __m128i m3 = MarkersSse2(p + 48);
        const __m128i any = _mm_or_si128(_mm_or_si128(m0, m1), _mm_or_si128(m2, m3));
        if (_mm_movemask_epi8(any) == 0) continue;
        const uint64_t mask =
            static_cast<uint64_t>(static_cast<uint16_t>(_mm_movemask_epi8(m0))) |
            static_cast<uint64_t>(static_cast<uint16_t>(_mm_movemask_epi8(m1))) << 16 |
            static_cast<uint64_t>(static_cast<uint16_t>(_mm_movemask_epi8(m2))) << 32 |
            static_cast<uint64_t>(static_cast<uint16_t>(_mm_movemask_epi8(m3))) << 48;
        return p + __builtin_ctzll(mask);
    }
    return ScanBytes(p, end);
}

using ScanFunction = EntropyMarkerScan;

ScanFunction ChooseScan() {
    __builtin_cpu_init();
    // The check includes the system's support for the wide registers.
    if (__builtin_cpu_supports("avx2")) return ScanAvx2;
    if (__builtin_cpu_supports("sse2")) return ScanSse2;
    return ScanFromFFToFF;
}
#endif

}  // namespace

const uint8_t* FindEntropyMarker(const uint8_t* begin, const uint8_t* end) {
    if (begin == nullptr || begin >= end) return end;
#ifdef TALVIK_VECTOR_SCAN
    static const ScanFunction scan = ChooseScan();
    return scan(begin, end);
#else
    return ScanFromFFToFF(begin, end);
#endif
}

std::vector<EntropyMarkerScan> EntropyMarkerScans() {
    std::vector<EntropyMarkerScan> scans;
#ifdef TALVIK_VECTOR_SCAN
    scans.push_back(ChooseScan());
    if (__builtin_cpu_supports("sse2") && scans.front() != ScanSse2) scans.push_back(ScanSse2);
#endif
    if (scans.empty() || scans.front() != ScanFromFFToFF) scans.push_back(ScanFromFFToFF);
    return scans;
}

}  // namespace talvik
