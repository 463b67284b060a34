#include "base/Time.h"

#include "platform/Clock.h"

namespace talvik {

namespace {

constexpr uint16_t kMinYear = 1601;
constexpr uint16_t kMaxYear = 30827;

bool IsLeap(int64_t y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(int64_t y, int m) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

// Days from 1601-01-01 to 1970-01-01.
constexpr int64_t kDays1601To1970 = 134774;

}  // namespace

uint64_t NowFileTime() {
    // The system time is read at millisecond resolution.
    uint64_t ms = 0;
    if (!SystemClockMs(&ms)) return 0;
    return kUnixEpochFileTime + ms * kFileTimeUnitsPerMs;
}

uint64_t SystemTimeToTime(const HostSystemTime& t) {
    if (t.year < kMinYear || t.year > kMaxYear || t.month < 1 || t.month > 12 || t.day < 1 ||
        t.day > DaysInMonth(t.year, t.month) || t.hour > 23 || t.minute > 59 || t.second > 59 ||
        t.milliseconds > 999) {
        return 0;
    }
    const int64_t days = DaysFromCivil(t.year, t.month, t.day) + kDays1601To1970;
    const uint64_t ms = ((static_cast<uint64_t>(days) * 24 + t.hour) * 60 + t.minute) * 60000ull +
                        t.second * 1000ull + t.milliseconds;
    return ms * kFileTimeUnitsPerMs;
}

bool TimeToSystemTime(uint64_t value, HostSystemTime* out) {
    if (out == nullptr) return false;
    // Windows rejects values with the top bit set.
    if (value >= 0x8000000000000000ull) return false;
    const uint64_t totalMs = value / kFileTimeUnitsPerMs;
    const uint64_t days = totalMs / 86400000ull;
    const uint64_t msOfDay = totalMs % 86400000ull;
    int64_t y;
    unsigned m, d;
    CivilFromDays(static_cast<int64_t>(days) - kDays1601To1970, &y, &m, &d);
    if (y > kMaxYear) return false;
    out->year = static_cast<uint16_t>(y);
    out->month = static_cast<uint16_t>(m);
    out->day = static_cast<uint16_t>(d);
    // 1601-01-01 was a Monday.
    out->dayOfWeek = static_cast<uint16_t>((days + 1) % 7);
    out->hour = static_cast<uint16_t>(msOfDay / 3600000u);
    out->minute = static_cast<uint16_t>(msOfDay / 60000u % 60u);
    out->second = static_cast<uint16_t>(msOfDay / 1000u % 60u);
    out->milliseconds = static_cast<uint16_t>(msOfDay % 1000u);
    return true;
}

uint32_t ElapsedMsSince(uint64_t value) {
    const uint64_t now = NowFileTime();
    if (value >= now) return 0;
    return static_cast<uint32_t>((now - value) / kFileTimeUnitsPerMs);
}

uint32_t TickCountMs() {
    return static_cast<uint32_t>(MonotonicMs());
}

CTime::CTime() : value_(NowFileTime()) {}

uint64_t CTime::Get() {
    CLockGuard guard(lock_);
    return value_;
}

void CTime::Set(uint64_t value) {
    CLockGuard guard(lock_);
    value_ = value;
}

void CTime::SetNow() {
    CLockGuard guard(lock_);
    value_ = NowFileTime();
}

uint32_t CTime::ElapsedMs() {
    CLockGuard guard(lock_);
    return ElapsedMsSince(value_);
}

}  // namespace talvik
