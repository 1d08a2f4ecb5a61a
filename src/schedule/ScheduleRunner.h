#pragma once

#include "core/DateTime.h"
#include "sites/KeltroTypes.h"

#include <array>
#include <functional>
#include <string>

namespace tlv {

// ---- Date helpers ----------------------------------------------------------------------------

// y-m-d at 00:00. A day of 29 or more in February gives 28 February, leap years included, so a
// schedule on the 29th, 30th or 31st runs on the same day every February; day 31 in a 30-day
// month gives the 30th.
TDateTime ClampedDate(int year, int month, int day);

// The same day one calendar month later (forward) or earlier, clamped as above; time dropped.
TDateTime StepMonth(TDateTime date, bool forward);

// ---- The schedule window ----------------------------------------------------------------------

struct TScheduleWindow {
    TDateTime Previous; // P: the previous scheduled occurrence
    TDateTime Next;     // N: the next one
};

// Computed afresh from the definition's schedule and LastBackup at the moment `now`.
TScheduleWindow GetScheduleWindow(const TKeltroSiteDefinition& definition, TDateTime now);

// Whether a backup is due at `now`: at the first check at or after the next occurrence unless
// one already ran after it, and at once when none ran since the previous occurrence.
bool IsScheduleDue(const TKeltroSiteDefinition& definition, TDateTime now);

// UI thread. Queues a backup of every site of the site manager whose schedule is on, that is
// idle or failed, and whose schedule has come due at `now`.
void CheckSchedules(TDateTime now = TDateTime::Now());

// ---- The schedule sentence --------------------------------------------------------------------

// How dates and times are written for the user. The default follows the C library's locale
// environment (LC_TIME); the desktop program installs its toolkit's locale instead.
struct TLocaleFormats {
    std::array<std::string, 7> DayNames;    // Monday first
    std::array<std::string, 12> MonthNames; // January first
    std::function<std::string(int hour, int minute)> ShortTime;

    static TLocaleFormats FromEnvironment();
};

// UI thread. Replaces the formats ScheduleText uses; the first use without one reads the
// environment's locale.
void SetLocaleFormats(TLocaleFormats formats);
const TLocaleFormats& LocaleFormats();

// The sentence describing a schedule, built from the translated TXT_ templates. Arguments are
// substituted as data: no language file can make this misbehave.
std::string ScheduleText(bool enabled, TScheduleFrequency frequency, TDateTime startDate,
                         TDateTime startTime);

} // namespace tlv
