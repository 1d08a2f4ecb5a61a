#include "schedule/ScheduleRunner.h"

#include "core/Text.h"
#include "sites/SiteManager.h"
#include "storage/Translate.h"

#include <clocale>
#include <cmath>
#include <ctime>
#include <langinfo.h>
#include <locale.h>
#include <memory>

namespace tlv {

TDateTime ClampedDate(int year, int month, int day) {
    if (month == 2 && day >= 29)
        return TDateTime::EncodeDate(year, 2, 28);
    TDateTime result;
    if (TDateTime::TryEncodeDate(year, month, day, result))
        return result;
    return TDateTime::EncodeDate(year, month, std::min(day, DaysInMonth(year, month)));
}

TDateTime StepMonth(TDateTime date, bool forward) {
    auto p = date.Decode();
    int year = p.year;
    int month = p.month + (forward ? 1 : -1);
    if (month == 13) {
        month = 1;
        ++year;
    } else if (month == 0) {
        month = 12;
        --year;
    }
    return ClampedDate(year, month, p.day);
}

TScheduleWindow GetScheduleWindow(const TKeltroSiteDefinition& definition, TDateTime now) {
    const TDateTime today = now.DatePart();
    // Only the time of day of StartTime counts: the value minus its whole days.
    const double t = definition.StartTime.Value() - std::trunc(definition.StartTime.Value());
    const TDateTime last = definition.LastBackup;
    TDateTime p, n;
    switch (definition.ScheduleFrequency) {
    case TScheduleFrequency::Daily:
        p = TDateTime(today.Value() - 1 + t);
        n = p.AddDays(1);
        if (last > n) {
            p = n;
            n = n.AddDays(1);
        }
        break;
    case TScheduleFrequency::Weekly: {
        const int weekday = definition.StartDate.DayOfTheWeek();
        p = today.AddDays(-1);
        for (int step = 0; step < 6 && p.DayOfTheWeek() != weekday; ++step)
            p = p.AddDays(-1);
        p = p.AddDays(t);
        n = p.AddDays(7);
        if (last > n) {
            p = n;
            n = n.AddDays(7);
        }
        break;
    }
    case TScheduleFrequency::Monthly: {
        const int day = definition.StartDate.Decode().day;
        const auto previousMonth = StepMonth(today, false).Decode();
        const TDateTime firstP = ClampedDate(previousMonth.year, previousMonth.month, day);
        const TDateTime firstN = StepMonth(firstP, true);
        p = firstP.AddDays(t);
        n = firstN.AddDays(t);
        if (last > n) {
            p = StepMonth(firstP, true).AddDays(t);
            n = StepMonth(firstN, true).AddDays(t);
        }
        break;
    }
    case TScheduleFrequency::Yearly: {
        const auto start = definition.StartDate.Decode();
        const int year = today.Decode().year;
        p = ClampedDate(year - 1, start.month, start.day).AddDays(t);
        n = ClampedDate(year, start.month, start.day).AddDays(t);
        if (last > n) {
            p = n;
            n = ClampedDate(year + 1, start.month, start.day).AddDays(t);
        }
        break;
    }
    }
    return {p, n};
}

bool IsScheduleDue(const TKeltroSiteDefinition& definition, TDateTime now) {
    const auto [p, n] = GetScheduleWindow(definition, now);
    const TDateTime last = definition.LastBackup;
    return !(last > n) && (now >= n || last == n || !(last > p));
}

void CheckSchedules(TDateTime now) {
    for (TKeltroSite& site : TKeltroSiteManager::Instance().Sites()) {
        const TKeltroSiteDefinition& definition = site.Definition();
        if (definition.ScheduleEnabled && site.IsNotBusy() && IsScheduleDue(definition, now))
            site.StartBackup(nullptr);
    }
}

// ---- Locale -----------------------------------------------------------------------------------

namespace {

std::unique_ptr<TLocaleFormats> g_formats;

// The C library has no "short" time format: take the locale's time format and drop the seconds,
// which gives "%H:%M" for most locales and "%I:%M %p" for the 12-hour ones.
std::string shortTimePattern(const char* full) {
    std::string pattern = full && *full ? full : "%H:%M:%S";
    pattern = ReplaceAll(pattern, "%r", "%I:%M:%S %p");
    pattern = ReplaceAll(pattern, "%T", "%H:%M:%S");
    for (const char* seconds : {":%S", ".%S", "%S"})
        pattern = ReplaceAll(pattern, seconds, "");
    return pattern;
}

} // namespace

TLocaleFormats TLocaleFormats::FromEnvironment() {
    TLocaleFormats formats;
    locale_t locale = newlocale(LC_TIME_MASK, "", static_cast<locale_t>(nullptr));
    if (!locale)
        locale = newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(nullptr));
    static constexpr nl_item days[] = {DAY_2, DAY_3, DAY_4, DAY_5, DAY_6, DAY_7, DAY_1};
    static constexpr nl_item months[] = {MON_1, MON_2, MON_3, MON_4,  MON_5,  MON_6,
                                         MON_7, MON_8, MON_9, MON_10, MON_11, MON_12};
    for (size_t i = 0; i < 7; ++i)
        formats.DayNames[i] = nl_langinfo_l(days[i], locale);
    for (size_t i = 0; i < 12; ++i)
        formats.MonthNames[i] = nl_langinfo_l(months[i], locale);
    const std::string pattern = shortTimePattern(nl_langinfo_l(T_FMT, locale));
    freelocale(locale);
    formats.ShortTime = [pattern](int hour, int minute) {
        locale_t loc = newlocale(LC_TIME_MASK, "", static_cast<locale_t>(nullptr));
        if (!loc)
            loc = newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(nullptr));
        std::tm tm{};
        tm.tm_hour = hour;
        tm.tm_min = minute;
        char buffer[64];
        size_t length = strftime_l(buffer, sizeof buffer, pattern.c_str(), &tm, loc);
        freelocale(loc);
        return std::string(buffer, length);
    };
    return formats;
}

void SetLocaleFormats(TLocaleFormats formats) {
    g_formats = std::make_unique<TLocaleFormats>(std::move(formats));
}

const TLocaleFormats& LocaleFormats() {
    if (!g_formats)
        g_formats = std::make_unique<TLocaleFormats>(TLocaleFormats::FromEnvironment());
    return *g_formats;
}

std::string ScheduleText(bool enabled, TScheduleFrequency frequency, TDateTime startDate,
                         TDateTime startTime) {
    if (!enabled)
        return Translate("TXT_SCHEDULENEVER");
    const TLocaleFormats& formats = LocaleFormats();
    const auto time = startTime.Decode();
    const auto date = startDate.Decode();
    const std::string shortTime = formats.ShortTime(time.hour, time.minute);
    switch (frequency) {
    case TScheduleFrequency::Daily:
        return Translate("TXT_DAILY") + " " + shortTime;
    case TScheduleFrequency::Weekly:
        return FormatTemplate(
            Translate("TXT_WEEKLY"),
            {formats.DayNames[static_cast<size_t>(startDate.DayOfTheWeek() - 1)], shortTime});
    case TScheduleFrequency::Monthly:
        return FormatTemplate(Translate("TXT_MONTHLY"), {std::to_string(date.day), shortTime});
    case TScheduleFrequency::Yearly:
        return FormatTemplate(Translate("TXT_YEARLY"),
                              {std::to_string(date.day),
                               formats.MonthNames[static_cast<size_t>(date.month - 1)],
                               shortTime});
    }
    return Translate("TXT_SCHEDULENEVER");
}

} // namespace tlv
