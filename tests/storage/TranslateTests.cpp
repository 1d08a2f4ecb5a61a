#include "common/Sandbox.h"
#include "core/Exceptions.h"
#include "storage/DatabaseConnection.h"
#include "storage/Options.h"
#include "storage/Translate.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace tlv {
namespace {

class TranslateTest : public ::testing::Test {
protected:
    void SetUp() override { m_box.UseDatabase(); }

    void writeLanguage(const std::string& stem, const std::string& content) {
        m_box.WriteFile("languages/" + stem + ".ini", content);
    }
    void chooseLanguage(const std::string& stem) {
        TOptionsRegistry::Instance().WriteOption("Language", stem);
        TOptionsRegistry::Instance().Save();
        TOptionsRegistry::Release();
    }

    test::Sandbox m_box;
};

TEST_F(TranslateTest, ReadsTheFileFormat) {
    writeLanguage("english", "INFO_LANGUAGE=English\r\n"
                             "\r\n"
                             "   \t  \r\n"
                             "  # MAIN_ACTION_EXIT=commented out\r\n"
                             "; LBL_HIDDEN=commented out\r\n"
                             "[Section headers are harmless]\r\n"
                             "a line without an equals sign\r\n"
                             "\t  MAIN_ACTION_EXIT=E&xit\r\n"
                             "TXT_TRAILING=keeps its blanks  \r\n"
                             "TXT_SPACED =key ends in a blank\r\n"
                             "TXT_EMPTY=\r\n"
                             "TXT_EQUALS=a=b\r\n"
                             "TXT_TWICE=first\r\n"
                             "txt_twice=second\r\n"
                             "TXT_BYTES=caf\xe9 \xff\xfe\xc3\r\n"
                             "TXT_LF_ONLY=unix line\n"
                             "TXT_LAST=no line end");
    struct Case {
        const char* key;
        std::string text;
    };
    const Case cases[] = {
        {"INFO_LANGUAGE", "English"},
        {"MAIN_ACTION_EXIT", "E&xit"},
        {"main_action_exit", "E&xit"},
        {"LBL_HIDDEN", "LBL_HIDDEN"},
        {"TXT_TRAILING", "keeps its blanks  "},
        {"TXT_SPACED", "TXT_SPACED"},
        {"TXT_SPACED ", "key ends in a blank"},
        {"TXT_EMPTY", "TXT_EMPTY"},
        {"TXT_EQUALS", "a=b"},
        {"TXT_TWICE", "second"},
        {"TXT_BYTES", "caf\xe9 \xff\xfe\xc3"},
        {"TXT_LF_ONLY", "unix line"},
        {"TXT_LAST", "no line end"},
        {"TXT_UNKNOWN", "TXT_UNKNOWN"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Translate(c.key), c.text) << c.key;
    EXPECT_TRUE(JTranslate::Instance().EnglishFileExists());
}

TEST_F(TranslateTest, ChosenLanguageIsLaidOverEnglish) {
    writeLanguage("english", "MAIN_ACTION_EXIT=Exit\nBUTTON_CANCEL=Cancel\n");
    writeLanguage("german", "BUTTON_CANCEL=Abbrechen\nTXT_ONLY_GERMAN=Nur deutsch\n");
    chooseLanguage("german");
    EXPECT_EQ(Translate("MAIN_ACTION_EXIT"), "Exit");
    EXPECT_EQ(Translate("BUTTON_CANCEL"), "Abbrechen");
    EXPECT_EQ(Translate("TXT_ONLY_GERMAN"), "Nur deutsch");
    EXPECT_FALSE(TOptionsRegistry::Exists()) << "the rebuild releases the options store";
}

TEST_F(TranslateTest, MissingFilesFallBackQuietly) {
    writeLanguage("english", "BUTTON_CANCEL=Cancel\n");
    chooseLanguage("klingon");
    EXPECT_EQ(Translate("BUTTON_CANCEL"), "Cancel");
    JTranslate::Instance().LoadLanguage("klingon");
    EXPECT_EQ(Translate("BUTTON_CANCEL"), "Cancel");

    std::filesystem::remove_all(m_box.Path("languages"));
    JTranslate::Instance().Reload();
    EXPECT_FALSE(JTranslate::Instance().EnglishFileExists());
    EXPECT_EQ(Translate("BUTTON_CANCEL"), "BUTTON_CANCEL");
}

TEST_F(TranslateTest, SwitchingLanguageKeepsKeysTheNewFileLacks) {
    writeLanguage("english", "BUTTON_CANCEL=Cancel\nBUTTON_BROWSE=Browse\n");
    writeLanguage("german", "BUTTON_CANCEL=Abbrechen\nTXT_DAILY=Täglich\n");
    writeLanguage("french", "BUTTON_CANCEL=Annuler\n");
    chooseLanguage("german");
    ASSERT_EQ(Translate("TXT_DAILY"), "Täglich");

    JTranslate::Instance().LoadLanguage("french");
    EXPECT_EQ(Translate("BUTTON_CANCEL"), "Annuler");
    EXPECT_EQ(Translate("TXT_DAILY"), "Täglich") << "kept until the next rebuild";
    EXPECT_EQ(Translate("BUTTON_BROWSE"), "Browse");

    chooseLanguage("french");
    JTranslate::Instance().Reload();
    EXPECT_EQ(Translate("TXT_DAILY"), "TXT_DAILY");
}

TEST_F(TranslateTest, UnreadableFileRaisesAnInputOutputError) {
    writeLanguage("english", "BUTTON_CANCEL=Cancel\n");
    std::filesystem::create_directories(m_box.Path("languages/german.ini"));
    EXPECT_EQ(Translate("BUTTON_CANCEL"), "Cancel");
    EXPECT_THROW(JTranslate::Instance().LoadLanguage("german"), EInOutError);
    EXPECT_EQ(Translate("BUTTON_CANCEL"), "Cancel") << "a failed merge changes nothing";
    chooseLanguage("german");
    EXPECT_THROW(JTranslate::Instance().Reload(), EInOutError);
}

// Workers look texts up while the UI thread merges and rebuilds: every lookup must find one
// language's complete text, never a key missing in the middle of a change.
TEST_F(TranslateTest, LookupsFromWorkersWhileTheUIThreadMerges) {
    constexpr int kKeys = 200;
    std::string english;
    std::string german;
    for (int i = 0; i < kKeys; ++i) {
        english += "TXT_KEY" + std::to_string(i) + "=english\n";
        german += "TXT_KEY" + std::to_string(i) + "=german\n";
    }
    writeLanguage("english", english);
    writeLanguage("german", german);
    chooseLanguage("german");
    JTranslate::Instance();

    std::atomic<bool> stop{false};
    std::atomic<long> lookups{0};
    std::atomic<int> wrong{0};
    std::vector<std::thread> workers;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int t = 0; t < 4; ++t) {
        workers.emplace_back([&, t] {
            for (int i = t; !stop && std::chrono::steady_clock::now() < deadline; ++i) {
                const std::string text = Translate("TXT_KEY" + std::to_string(i % kKeys));
                if (text != "english" && text != "german")
                    ++wrong;
                ++lookups;
            }
        });
    }
    for (int round = 0; round < 30; ++round) {
        JTranslate::Instance().LoadLanguage("english");
        JTranslate::Instance().LoadLanguage("german");
        JTranslate::Instance().Reload();
    }
    stop = true;
    for (auto& worker : workers)
        worker.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_GT(lookups, 0);
}

} // namespace
} // namespace tlv
