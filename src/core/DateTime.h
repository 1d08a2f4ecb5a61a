#pragma once

#include <compare>
#include <functional>
#include <string>
#include <string_view>

namespace tlv {

// A calendar date and time of day as one number: whole days since 30 December 1899, the
// fraction being the time of day. Stored site dates and the schedule arithmetic use this form,
// so it is kept as it is rather than wrapped in a chrono type with other rounding rules.
class TDateTime {
public:
    constexpr TDateTime() = default;
    constexpr explicit TDateTime(double value) : m_value(value) {}

    constexpr double Value() const { return m_value; }

    // Raise EConvertError for a field out of range (month 13, 30 February, hour 24, ...).
    static TDateTime EncodeDate(int year, int month, int day);
    static TDateTime EncodeTime(int hour, int minute, int second, int millisecond = 0);
    static TDateTime Encode(int year, int month, int day, int hour, int minute, int second,
                            int millisecond = 0);
    static bool TryEncodeDate(int year, int month, int day, TDateTime& result);
    static bool TryEncodeTime(int hour, int minute, int second, int millisecond,
                              TDateTime& result);

    struct Parts {
        int year, month, day, hour, minute, second, millisecond;
    };
    // Splits into fields; the time of day is rounded to the millisecond.
    Parts Decode() const;

    // A date (midnight) plus a time of day (on 30 December 1899).
    static TDateTime Combine(TDateTime date, TDateTime time);

    // The date alone (midnight) and the time of day alone (on 30 December 1899).
    TDateTime DatePart() const;
    TDateTime TimePart() const;

    // 1 = Monday ... 7 = Sunday.
    int DayOfTheWeek() const;

    // Local wall-clock time, through the replaceable clock below.
    static TDateTime Now();
    // Replaces the clock behind Now(); an empty function restores the system clock. Set it before
    // any thread may call Now(), as tests that inject a time do.
    static void SetClock(std::function<TDateTime()> clock);
    static TDateTime SystemNow();

    // The United States English general form that stored dates use, whatever the user's own
    // settings: "M/D/YYYY", then " h:nn:ss AM|PM" unless the time is exactly midnight.
    std::string ToUSGeneralString() const;
    // Reads that form back (also accepts a 24-hour time and times without seconds).
    static bool TryParseUSGeneral(std::string_view text, TDateTime& result);

    // "dd/mm hh:nn:ss", the stamp of a site log line.
    std::string ToLogStamp() const;

    TDateTime AddDays(double days) const { return TDateTime(m_value + days); }

    friend constexpr auto operator<=>(const TDateTime&, const TDateTime&) = default;

private:
    double m_value = 0;
};

bool IsLeapYear(int year);
int DaysInMonth(int year, int month);

} // namespace tlv
