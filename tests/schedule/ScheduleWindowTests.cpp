#include "schedule/ScheduleRunner.h"

#include <gtest/gtest.h>

namespace tlv {
namespace {

TDateTime At(int y, int m, int d, int h = 0, int n = 0, int s = 0) {
    return TDateTime::Encode(y, m, d, h, n, s);
}

TKeltroSiteDefinition Schedule(TScheduleFrequency frequency, TDateTime startDate, int hour,
                               int minute, TDateTime lastBackup) {
    TKeltroSiteDefinition d;
    d.ScheduleEnabled = true;
    d.ScheduleFrequency = frequency;
    d.StartDate = startDate;
    d.StartTime = TDateTime::EncodeTime(hour, minute, 0);
    d.LastBackup = lastBackup;
    return d;
}

TEST(ScheduleDates, ClampedDateAndStepMonth) {
    EXPECT_EQ(ClampedDate(2024, 2, 29), At(2024, 2, 28)); // leap years too
    EXPECT_EQ(ClampedDate(2023, 2, 31), At(2023, 2, 28));
    EXPECT_EQ(ClampedDate(2023, 4, 31), At(2023, 4, 30));
    EXPECT_EQ(ClampedDate(2023, 5, 31), At(2023, 5, 31));
    EXPECT_EQ(StepMonth(At(2023, 12, 15, 10), true), At(2024, 1, 15));
    EXPECT_EQ(StepMonth(At(2024, 1, 31), false), At(2023, 12, 31));
    EXPECT_EQ(StepMonth(At(2023, 1, 31), true), At(2023, 2, 28));
}

struct WindowCase {
    const char* what;
    TScheduleFrequency frequency;
    TDateTime startDate;
    TDateTime lastBackup;
    TDateTime now;
    TDateTime expectedP;
    TDateTime expectedN;
};

TEST(ScheduleWindow, FollowsTheFrequency) {
    using F = TScheduleFrequency;
    const TDateTime never = TKeltroSiteDefinition::DefaultSiteDate();
    const TDateTime monday = At(2026, 12, 7); // a Monday
    const WindowCase cases[] = {
        {"daily", F::Daily, monday, never, At(2026, 12, 11, 1), At(2026, 12, 10, 2),
         At(2026, 12, 11, 2)},
        {"daily moved on by a later backup", F::Daily, monday, At(2026, 12, 11, 10, 20),
         At(2026, 12, 11, 11), At(2026, 12, 11, 2), At(2026, 12, 12, 2)},
        {"weekly on its own weekday", F::Weekly, monday, never, At(2026, 12, 14, 1),
         At(2026, 12, 7, 2), At(2026, 12, 14, 2)},
        {"weekly the day after", F::Weekly, monday, never, At(2026, 12, 15, 1),
         At(2026, 12, 14, 2), At(2026, 12, 21, 2)},
        {"monthly 31 in April", F::Monthly, At(2026, 1, 31), never, At(2026, 4, 10),
         At(2026, 3, 31, 2), At(2026, 4, 30, 2)},
        {"monthly 31 in May", F::Monthly, At(2026, 1, 31), never, At(2026, 5, 10),
         At(2026, 4, 30, 2), At(2026, 5, 30, 2)},
        {"monthly 31 in a leap March", F::Monthly, At(2026, 1, 31), never, At(2028, 3, 10),
         At(2028, 2, 28, 2), At(2028, 3, 28, 2)},
        {"monthly in January", F::Monthly, At(2026, 1, 15), never, At(2027, 1, 10),
         At(2026, 12, 15, 2), At(2027, 1, 15, 2)},
        {"monthly moved on", F::Monthly, At(2026, 1, 15), At(2026, 3, 16), At(2026, 3, 20),
         At(2026, 3, 15, 2), At(2026, 4, 15, 2)},
        {"yearly on 29 February", F::Yearly, At(2024, 2, 29), never, At(2026, 3, 1),
         At(2025, 2, 28, 2), At(2026, 2, 28, 2)},
        {"yearly before its day", F::Yearly, At(2020, 7, 10), never, At(2026, 3, 1),
         At(2025, 7, 10, 2), At(2026, 7, 10, 2)},
        {"a future start date only gives its weekday", F::Weekly, At(2030, 1, 7), never,
         At(2026, 12, 15, 1), At(2026, 12, 14, 2), At(2026, 12, 21, 2)},
    };
    for (const auto& c : cases) {
        const auto window =
            GetScheduleWindow(Schedule(c.frequency, c.startDate, 2, 0, c.lastBackup), c.now);
        EXPECT_EQ(window.Previous.ToUSGeneralString(), c.expectedP.ToUSGeneralString())
            << c.what;
        EXPECT_EQ(window.Next.ToUSGeneralString(), c.expectedN.ToUSGeneralString()) << c.what;
    }
}

struct DueCase {
    const char* what;
    TDateTime lastBackup;
    TDateTime now;
    bool due;
};

TEST(ScheduleWindow, DailyAtTwoIsDueAsTheUserExpects) {
    const DueCase cases[] = {
        {"ran yesterday after two, before two today", At(2026, 12, 10, 2, 5),
         At(2026, 12, 11, 1), false},
        {"ran yesterday after two, at two today", At(2026, 12, 10, 2, 5), At(2026, 12, 11, 2),
         true},
        {"three days off, started at ten", At(2026, 12, 7, 2, 10), At(2026, 12, 11, 10), true},
        {"caught up at ten twenty", At(2026, 12, 11, 10, 20), At(2026, 12, 11, 23), false},
        {"caught up, due again tomorrow", At(2026, 12, 11, 10, 20), At(2026, 12, 12, 2), true},
        {"missed yesterday's run", At(2026, 12, 10, 1), At(2026, 12, 11, 1), true},
        {"never ran", TKeltroSiteDefinition::DefaultSiteDate(), At(2026, 12, 11, 1), true},
        {"clock put back behind the last backup", At(2026, 12, 20, 3), At(2026, 12, 11, 3),
         false},
    };
    for (const auto& c : cases) {
        const auto site = Schedule(TScheduleFrequency::Daily, At(2026, 1, 1), 2, 0, c.lastBackup);
        EXPECT_EQ(IsScheduleDue(site, c.now), c.due) << c.what;
    }
}

} // namespace
} // namespace tlv
