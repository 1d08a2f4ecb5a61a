#include "common/Sandbox.h"
#include "schedule/ScheduleRunner.h"
#include "storage/Translate.h"

#include <gtest/gtest.h>

namespace tlv {
namespace {

class ScheduleText_ : public ::testing::Test {
protected:
    void SetUp() override {
        sandbox.UseDatabase();
        TLocaleFormats formats;
        formats.DayNames = {"Monday", "Tuesday", "Wednesday", "Thursday",
                            "Friday", "Saturday", "Sunday"};
        formats.MonthNames = {"January", "February", "March",     "April",   "May",      "June",
                              "July",    "August",   "September", "October", "November", "December"};
        formats.ShortTime = [](int h, int m) {
            return std::to_string(h) + ":" + (m < 10 ? "0" : "") + std::to_string(m);
        };
        SetLocaleFormats(formats);
    }
    void Language(const std::string& english) {
        sandbox.WriteFile("languages/english.ini", english);
        JTranslate::Release();
    }
    test::Sandbox sandbox;
};

TEST_F(ScheduleText_, BuildsTheSentenceFromTheTemplates) {
    Language("TXT_SCHEDULENEVER=Never\nTXT_DAILY=Every day at\n"
             "TXT_WEEKLY=Every %s at %s\nTXT_MONTHLY=On day %s of each month at %s\n"
             "TXT_YEARLY=Every year on %s %s at %s\n");
    const TDateTime date = TDateTime::EncodeDate(2026, 7, 9); // a Thursday
    const TDateTime time = TDateTime::EncodeTime(14, 5, 0);
    using F = TScheduleFrequency;
    EXPECT_EQ(ScheduleText(false, F::Daily, date, time), "Never");
    EXPECT_EQ(ScheduleText(true, F::Daily, date, time), "Every day at 14:05");
    EXPECT_EQ(ScheduleText(true, F::Weekly, date, time), "Every Thursday at 14:05");
    EXPECT_EQ(ScheduleText(true, F::Monthly, date, time), "On day 9 of each month at 14:05");
    EXPECT_EQ(ScheduleText(true, F::Yearly, date, time), "Every year on 9 July at 14:05");
}

TEST_F(ScheduleText_, HostileTemplatesCannotMisbehave) {
    Language("TXT_WEEKLY=%n%s%s%s%s %d\nTXT_YEARLY=no placeholders\n");
    const TDateTime date = TDateTime::EncodeDate(2026, 7, 9);
    const TDateTime time = TDateTime::EncodeTime(9, 0, 0);
    EXPECT_EQ(ScheduleText(true, TScheduleFrequency::Weekly, date, time), "%nThursday9:00%s%s %d");
    EXPECT_EQ(ScheduleText(true, TScheduleFrequency::Yearly, date, time), "no placeholders");
    // Without any language file the keys themselves show.
    EXPECT_EQ(ScheduleText(true, TScheduleFrequency::Monthly, date, time), "TXT_MONTHLY");
}

TEST(LocaleFormats, EnvironmentGivesNamesAndAShortTime) {
    const auto formats = TLocaleFormats::FromEnvironment();
    EXPECT_FALSE(formats.DayNames[0].empty());
    EXPECT_FALSE(formats.MonthNames[11].empty());
    const std::string time = formats.ShortTime(14, 5);
    EXPECT_NE(time.find("05"), std::string::npos);
    EXPECT_EQ(time.find("00:00"), std::string::npos);
}

} // namespace
} // namespace tlv
