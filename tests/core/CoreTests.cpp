#include "core/Convert.h"
#include "core/DateTime.h"
#include "core/Exceptions.h"
#include "core/Text.h"
#include "core/Version.h"

#include <gtest/gtest.h>

namespace tlv {
namespace {

TEST(DateTime, EncodesDaysSinceTheEpochOf1899) {
    EXPECT_EQ(TDateTime::EncodeDate(1899, 12, 30).Value(), 0.0);
    EXPECT_EQ(TDateTime::EncodeDate(2000, 1, 1).Value(), 36526.0);
    EXPECT_EQ(TDateTime::EncodeDate(1899, 12, 29).Value(), -1.0);
    EXPECT_DOUBLE_EQ(TDateTime::EncodeTime(12, 0, 0).Value(), 0.5);
    EXPECT_THROW(TDateTime::EncodeDate(2023, 2, 29), EConvertError);
    EXPECT_THROW(TDateTime::EncodeTime(24, 0, 0), EConvertError);

    auto parts = TDateTime::Encode(2024, 2, 29, 23, 59, 59, 999).Decode();
    EXPECT_EQ(parts.year, 2024);
    EXPECT_EQ(parts.month, 2);
    EXPECT_EQ(parts.day, 29);
    EXPECT_EQ(parts.hour, 23);
    EXPECT_EQ(parts.minute, 59);
    EXPECT_EQ(parts.second, 59);
    EXPECT_EQ(parts.millisecond, 999);
    EXPECT_EQ(TDateTime::EncodeDate(2026, 12, 11).DayOfTheWeek(), 5); // a Friday
}

struct UsFormCase {
    TDateTime value;
    const char* text;
};

TEST(DateTime, WritesAndReadsTheUSGeneralForm) {
    const UsFormCase cases[] = {
        {TDateTime::EncodeDate(2010, 2, 3), "2/3/2010"},
        {TDateTime::EncodeTime(14, 5, 0), "12/30/1899 2:05:00 PM"},
        {TDateTime::Encode(2021, 11, 25, 0, 0, 1), "11/25/2021 12:00:01 AM"},
        {TDateTime::Encode(2021, 11, 25, 12, 30, 0), "11/25/2021 12:30:00 PM"},
        {TDateTime::Encode(1999, 12, 31, 9, 7, 3), "12/31/1999 9:07:03 AM"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.value.ToUSGeneralString(), c.text);
        TDateTime back;
        ASSERT_TRUE(TDateTime::TryParseUSGeneral(c.text, back)) << c.text;
        EXPECT_EQ(back.ToUSGeneralString(), c.text);
    }
}

TEST(DateTime, RejectsTextInOtherForms) {
    for (const char* text : {"", "03.02.2010", "2010-02-03", "13/1/2010", "2/30/2010",
                             "2/3/10", "2/3/2010 14:05 XM", "2/3/2010 13:00:00 PM", "abc"}) {
        TDateTime value;
        EXPECT_FALSE(TDateTime::TryParseUSGeneral(text, value)) << text;
    }
    TDateTime value;
    EXPECT_TRUE(TDateTime::TryParseUSGeneral("2/3/2010 14:05:00", value));
    EXPECT_EQ(value.ToUSGeneralString(), "2/3/2010 2:05:00 PM");
}

TEST(DateTime, LogStampIsDayMonthAndTime) {
    EXPECT_EQ(TDateTime::Encode(2026, 3, 7, 8, 5, 9).ToLogStamp(), "07/03 08:05:09");
}

TEST(Convert, WholeNumbersAndTruthValues) {
    EXPECT_EQ(StrToInt("42"), 42);
    EXPECT_EQ(StrToInt(" -7 "), -7);
    EXPECT_EQ(StrToInt("$1F"), 31);
    EXPECT_EQ(StrToInt64("9000000000"), 9000000000LL);
    for (const char* bad : {"", "yes", "1.5", "12abc", "99999999999"})
        EXPECT_THROW(StrToInt(bad), EConvertError) << bad;

    EXPECT_TRUE(StrToBool("-1"));
    EXPECT_TRUE(StrToBool("2"));
    EXPECT_TRUE(StrToBool("TRUE"));
    EXPECT_FALSE(StrToBool("0"));
    EXPECT_FALSE(StrToBool("False"));
    EXPECT_THROW(StrToBool("yes"), EConvertError);
    EXPECT_EQ(BoolToStr(true), "-1");
    EXPECT_EQ(BoolToStr(false), "0");
}

TEST(Version, ReadsMajorTimesHundredPlusMinor) {
    EXPECT_EQ(ToVersionNumber(""), 100);
    EXPECT_EQ(ToVersionNumber("2.0"), 200);
    EXPECT_EQ(ToVersionNumber("2.1"), 201);
    EXPECT_EQ(ToVersionNumber("10.0"), 1000);
    for (const char* bad : {"3", "2.1.5", "two.one", "2."})
        EXPECT_THROW(ToVersionNumber(bad), EConvertError) << bad;
}

TEST(Text, TemplatesSubstituteOnlyPercentS) {
    EXPECT_EQ(FormatTemplate("Every %s at %s", {"Monday", "10:00"}), "Every Monday at 10:00");
    // Translations are data: printf directives and surplus placeholders are left alone.
    EXPECT_EQ(FormatTemplate("%n%d %s %s %s", {"a"}), "%n%d a %s %s");
    EXPECT_EQ(FormatTemplate("none", {"a", "b"}), "none");
    EXPECT_EQ(FormatTemplate("100%", {}), "100%");
}

} // namespace
} // namespace tlv
