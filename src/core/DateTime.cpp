#include "core/DateTime.h"

#include "core/Exceptions.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace tlv {

namespace {

constexpr int64_t kMsPerDay = 86'400'000;
// days_from_civil(1899, 12, 30): the epoch of the day count, relative to 1970-01-01.
constexpr int64_t kEpochOffset = -25'569;

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civilFromDays(int64_t z, int& year, int& month, int& day) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t y = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(y + (month <= 2));
}

std::mutex g_clockMutex;
std::function<TDateTime()> g_clock;

// A cursor over text being parsed; each read returns false at the first mismatch.
struct Reader {
    std::string_view text;
    size_t pos = 0;

    bool number(int& value, size_t minDigits, size_t maxDigits) {
        size_t start = pos;
        while (pos < text.size() && pos - start < maxDigits && text[pos] >= '0' &&
               text[pos] <= '9')
            ++pos;
        if (pos - start < minDigits)
            return false;
        std::from_chars(text.data() + start, text.data() + pos, value);
        return true;
    }
    bool literal(char c) {
        if (pos < text.size() && text[pos] == c) {
            ++pos;
            return true;
        }
        return false;
    }
    void blanks() {
        while (pos < text.size() && text[pos] == ' ')
            ++pos;
    }
    bool atEnd() const { return pos == text.size(); }
};

} // namespace

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : days[month - 1];
}

bool TDateTime::TryEncodeDate(int year, int month, int day, TDateTime& result) {
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
        day > DaysInMonth(year, month))
        return false;
    result = TDateTime(static_cast<double>(
        daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) -
        kEpochOffset));
    return true;
}

bool TDateTime::TryEncodeTime(int hour, int minute, int second, int millisecond,
                              TDateTime& result) {
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 ||
        millisecond < 0 || millisecond > 999)
        return false;
    const int64_t ms = ((hour * 60 + minute) * 60 + second) * 1000LL + millisecond;
    result = TDateTime(static_cast<double>(ms) / kMsPerDay);
    return true;
}

TDateTime TDateTime::EncodeDate(int year, int month, int day) {
    TDateTime result;
    if (!TryEncodeDate(year, month, day, result))
        throw EConvertError("Invalid argument to date encode");
    return result;
}

TDateTime TDateTime::EncodeTime(int hour, int minute, int second, int millisecond) {
    TDateTime result;
    if (!TryEncodeTime(hour, minute, second, millisecond, result))
        throw EConvertError("Invalid argument to time encode");
    return result;
}

TDateTime TDateTime::Encode(int year, int month, int day, int hour, int minute, int second,
                            int millisecond) {
    return Combine(EncodeDate(year, month, day), EncodeTime(hour, minute, second, millisecond));
}

TDateTime::Parts TDateTime::Decode() const {
    // Negative values count days backwards while the fraction still runs forwards through the
    // day, so the date is truncated towards zero and the time taken from the absolute fraction.
    double whole = std::trunc(m_value);
    int64_t ms = std::llround(std::fabs(m_value - whole) * kMsPerDay);
    int64_t days = static_cast<int64_t>(whole);
    if (ms >= kMsPerDay) { // rounding reached the next midnight
        ms -= kMsPerDay;
        days += m_value < 0 ? -1 : 1;
    }
    Parts p{};
    civilFromDays(days + kEpochOffset, p.year, p.month, p.day);
    p.millisecond = static_cast<int>(ms % 1000);
    p.second = static_cast<int>(ms / 1000 % 60);
    p.minute = static_cast<int>(ms / 60'000 % 60);
    p.hour = static_cast<int>(ms / 3'600'000);
    return p;
}

TDateTime TDateTime::Combine(TDateTime date, TDateTime time) {
    // Before 30 December 1899 the day count is negative but the time still runs forwards.
    return TDateTime(date.m_value < 0 ? date.m_value - time.m_value : date.m_value + time.m_value);
}

TDateTime TDateTime::DatePart() const {
    Parts p = Decode();
    return EncodeDate(p.year, p.month, p.day);
}

TDateTime TDateTime::TimePart() const {
    Parts p = Decode();
    return EncodeTime(p.hour, p.minute, p.second, p.millisecond);
}

int TDateTime::DayOfTheWeek() const {
    Parts p = Decode();
    int64_t days = daysFromCivil(p.year, static_cast<unsigned>(p.month),
                                 static_cast<unsigned>(p.day));
    // 1970-01-01 was a Thursday (ISO day 4).
    int64_t dow = (days + 3) % 7;
    if (dow < 0)
        dow += 7;
    return static_cast<int>(dow) + 1;
}

TDateTime TDateTime::SystemNow() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&seconds, &local);
    const int ms = static_cast<int>(duration_cast<milliseconds>(now.time_since_epoch()).count() %
                                    1000);
    return Encode(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min, std::min(local.tm_sec, 59), ms);
}

TDateTime TDateTime::Now() {
    std::lock_guard lock(g_clockMutex);
    return g_clock ? g_clock() : SystemNow();
}

void TDateTime::SetClock(std::function<TDateTime()> clock) {
    std::lock_guard lock(g_clockMutex);
    g_clock = std::move(clock);
}

std::string TDateTime::ToUSGeneralString() const {
    Parts p = Decode();
    char buffer[64];
    int n = std::snprintf(buffer, sizeof buffer, "%d/%d/%04d", p.month, p.day, p.year);
    if (p.hour != 0 || p.minute != 0 || p.second != 0 || p.millisecond != 0) {
        int hour12 = p.hour % 12 == 0 ? 12 : p.hour % 12;
        std::snprintf(buffer + n, sizeof buffer - static_cast<size_t>(n), " %d:%02d:%02d %s",
                      hour12, p.minute, p.second, p.hour < 12 ? "AM" : "PM");
    }
    return buffer;
}

bool TDateTime::TryParseUSGeneral(std::string_view text, TDateTime& result) {
    Reader r{text};
    r.blanks();
    int month = 0, day = 0, year = 0;
    if (!r.number(month, 1, 2) || !r.literal('/') || !r.number(day, 1, 2) || !r.literal('/') ||
        !r.number(year, 4, 4))
        return false;
    TDateTime date;
    if (!TryEncodeDate(year, month, day, date))
        return false;
    r.blanks();
    if (r.atEnd()) {
        result = date;
        return true;
    }
    int hour = 0, minute = 0, second = 0;
    if (!r.number(hour, 1, 2) || !r.literal(':') || !r.number(minute, 2, 2))
        return false;
    if (r.literal(':') && !r.number(second, 2, 2))
        return false;
    r.blanks();
    if (!r.atEnd()) {
        std::string_view rest = text.substr(r.pos);
        while (!rest.empty() && rest.back() == ' ')
            rest.remove_suffix(1);
        const bool am = rest == "AM" || rest == "am";
        const bool pm = rest == "PM" || rest == "pm";
        if ((!am && !pm) || hour < 1 || hour > 12)
            return false;
        hour = hour % 12 + (pm ? 12 : 0);
    }
    TDateTime time;
    if (!TryEncodeTime(hour, minute, second, 0, time))
        return false;
    result = Combine(date, time);
    return true;
}

std::string TDateTime::ToLogStamp() const {
    Parts p = Decode();
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%02d/%02d %02d:%02d:%02d", p.day, p.month, p.hour,
                  p.minute, p.second);
    return buffer;
}

} // namespace tlv
