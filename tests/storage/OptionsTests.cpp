#include "common/Sandbox.h"
#include "core/Convert.h"
#include "core/Exceptions.h"
#include "storage/DatabaseConnection.h"
#include "storage/Options.h"

#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <vector>

namespace tlv {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

// The Options table as it is in the file, in key order.
Pairs optionRows() {
    Pairs rows;
    auto query = DatabaseConnection().Query("SELECT * FROM [Options] ORDER BY [Key]");
    while (query.Next())
        rows.emplace_back(query.FieldAsText("Key"), query.FieldAsText("Value"));
    return rows;
}

class OptionsTest : public ::testing::Test {
protected:
    void SetUp() override { m_box.UseDatabase(); }

    test::Sandbox m_box;
};

TEST_F(OptionsTest, NewDatabaseGivesDefaultsAndSavesNothing) {
    TOptionsRegistry& options = TOptionsRegistry::Instance();
    EXPECT_EQ(options.ReadOption("Language", "english"), "english");
    EXPECT_EQ(options.ReadOption("DBVersion", "none"), "none") << "never loaded";
    options.Save();
    EXPECT_EQ(optionRows(), (Pairs{{"DBVersion", "2"}}));
}

TEST_F(OptionsTest, SavedOptionsAreRowsAndDBVersionIsUntouched) {
    TOptionsRegistry& options = TOptionsRegistry::Instance();
    options.WriteOption("Language", "german");
    options.WriteOption("MinimizeTray", BoolToStr(true));
    options.WriteOption("CloseToTray", BoolToStr(false));
    options.WriteOption("BackupQueueSize", "3");
    options.WriteOption("DownloadQueueSize", "1");
    options.WriteOption("DBVersion", "99");
    options.Save();
    TOptionsRegistry::Release();

    Pairs rows = optionRows();
    EXPECT_EQ(rows, (Pairs{{"BackupQueueSize", "3"},
                           {"CloseToTray", "0"},
                           {"DBVersion", "2"},
                           {"DownloadQueueSize", "1"},
                           {"Language", "german"},
                           {"MinimizeTray", "-1"}}));
}

TEST_F(OptionsTest, StoreNeverWritesTheVersionRowItLoaded) {
    DatabaseConnection().ExecSQL("INSERT INTO [Options] VALUES ('Kept', 'yes')");
    TOptionsRegistry& options = TOptionsRegistry::Instance();
    EXPECT_EQ(options.Pairs(), (Pairs{{"Kept", "yes"}}));
    options.WriteOption("Language", "english");
    options.Save();
    EXPECT_EQ(optionRows(), (Pairs{{"DBVersion", "2"}, {"Kept", "yes"}, {"Language", "english"}}));
}

TEST_F(OptionsTest, KeysIgnoreLetterCaseAndValuesAreKeptAsStored) {
    DatabaseConnection().ExecSQL("INSERT INTO [Options] VALUES ('CloseToTray', '-1'), "
                                 "('Empty', ''), ('Nothing', NULL), ('Equation', 'a=b=c')");
    TOptionsRegistry& options = TOptionsRegistry::Instance();
    EXPECT_EQ(options.ReadOption("closetotray", "0"), "-1");
    EXPECT_EQ(options.ReadOption("Empty", "fallback"), "");
    EXPECT_EQ(options.ReadOption("Nothing", "fallback"), "");
    EXPECT_EQ(options.ReadOption("EQUATION", ""), "a=b=c");
    EXPECT_EQ(options.ReadOption("Missing", "fallback"), "fallback");
}

TEST_F(OptionsTest, WritingAKeyAgainKeepsOnePairAtTheEnd) {
    TOptionsRegistry& options = TOptionsRegistry::Instance();
    options.WriteOption("Language", "english");
    options.WriteOption("MinimizeTray", "0");
    options.WriteOption("LANGUAGE", "german");
    EXPECT_EQ(options.Pairs(), (Pairs{{"MinimizeTray", "0"}, {"LANGUAGE", "german"}}));
    EXPECT_EQ(options.ReadOption("Language", ""), "german");
}

TEST_F(OptionsTest, UnsavedWritesAreLostWhenTheStoreIsReleased) {
    TOptionsRegistry::Instance().WriteOption("Language", "german");
    TOptionsRegistry::Instance().Save();
    TOptionsRegistry::Instance().WriteOption("Language", "french");
    TOptionsRegistry::Instance().WriteOption("BackupQueueSize", "5");
    TOptionsRegistry::Release();
    EXPECT_FALSE(TOptionsRegistry::Exists());
    EXPECT_EQ(TOptionsRegistry::Instance().ReadOption("Language", ""), "german");
    EXPECT_EQ(TOptionsRegistry::Instance().ReadOption("BackupQueueSize", "2"), "2");
}

TEST_F(OptionsTest, TypedReadersConvertOrRaise) {
    TOptionsRegistry& options = TOptionsRegistry::Instance();
    options.WriteOption("MinimizeTray", "-1");
    options.WriteOption("CloseToTray", "False");
    options.WriteOption("BackupQueueSize", "4");
    options.WriteOption("DownloadQueueSize", "two");
    options.WriteOption("Broken", "yes");

    EXPECT_TRUE(ReadBoolOption("MinimizeTray", "0"));
    EXPECT_FALSE(ReadBoolOption("CloseToTray", "0"));
    EXPECT_FALSE(ReadBoolOption("Missing", "False"));
    EXPECT_THROW(ReadBoolOption("Broken", "0"), EConvertError);
    EXPECT_EQ(ReadIntOption("BackupQueueSize", "2"), 4);
    EXPECT_EQ(ReadIntOption("Missing", "2"), 2);
    EXPECT_THROW(ReadIntOption("DownloadQueueSize", "2"), EConvertError);
}

} // namespace
} // namespace tlv
