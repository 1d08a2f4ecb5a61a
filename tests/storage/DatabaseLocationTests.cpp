#include "common/Sandbox.h"
#include "core/Exceptions.h"
#include "storage/DatabaseConnection.h"
#include "storage/Paths.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <string>

namespace fs = std::filesystem;

namespace tlv {
namespace {

using test::Sandbox;

// Sets or clears an environment variable for one test and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        if (const char* old = std::getenv(name))
            m_old = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (m_old)
            setenv(m_name, m_old->c_str(), 1);
        else
            unsetenv(m_name);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

// A database of the current schema carrying a "Marker" option, so a test can tell which file
// the program ended up using.
void makeDatabase(const fs::path& path, const std::string& marker) {
    fs::create_directories(path.parent_path());
    CreateSchema(path.generic_string());
    TSQLiteDatabase db(path.generic_string());
    db.ExecSQL("INSERT INTO [Options] ([Key], [Value]) VALUES ('Marker', ?)", {SQLText(marker)});
}

std::string markerOf(TSQLiteDatabase& db) {
    auto query = db.Query("SELECT [Value] FROM [Options] WHERE [Key] = 'Marker'");
    return query.Next() ? query.FieldAsText("Value") : std::string("(none)");
}

int64_t dbVersionOf(TSQLiteDatabase& db) {
    auto query = db.Query("SELECT * FROM [Options] WHERE [Key] = \"DBVersion\"");
    return query.Next() ? query.FieldAsInteger("Value") : 0;
}

TEST(DatabaseLocation, FreshStartCreatesThePerUserDatabase) {
    Sandbox box;
    TSQLiteDatabase& db = DatabaseConnection();
    EXPECT_FALSE(IsPortableMode());
    EXPECT_EQ(db.Path(), box.Path("data/Varnel/tlv.sqlite").generic_string());
    EXPECT_TRUE(fs::is_regular_file(box.Path("data/Varnel/tlv.sqlite")));
    EXPECT_FALSE(fs::exists(box.Path("tlv.sqlite")));
    EXPECT_EQ(dbVersionOf(db), 2);
    EXPECT_EQ(&DatabaseConnection(), &db) << "later calls return the same connection";
}

TEST(DatabaseLocation, DatabaseBesideTheProgramMeansPortable) {
    Sandbox box;
    makeDatabase(box.Path("tlv.sqlite"), "beside");
    EXPECT_TRUE(IsPortableMode());
    TSQLiteDatabase& db = DatabaseConnection();
    EXPECT_EQ(db.Path(), box.Path("tlv.sqlite").generic_string());
    EXPECT_EQ(markerOf(db), "beside");
    EXPECT_FALSE(fs::exists(box.Path("data/Varnel")));
}

TEST(DatabaseLocation, SettingsFileDecidesPortableMode) {
    struct Case {
        const char* settings;
        bool portable;
    };
    const Case cases[] = {
        {"[Global]\nPortable=1\n", true},
        {"; written by hand\r\n[global]\r\nportable = 2\r\n", true},
        {"[Global]\nPortable=-1\n", true},
        {"[Global]\nPortable=0\n", false},
        {"[Global]\nPortable=yes\n", false},
        {"[Global]\nPortable=\n", false},
        {"[Other]\nPortable=1\n", false},
        {"Portable=1\n", false},
        {"", false},
    };
    for (const Case& c : cases) {
        Sandbox box;
        box.WriteFile("tolvane.ini", c.settings);
        EXPECT_EQ(IsPortableMode(), c.portable) << c.settings;
    }
    Sandbox box;
    EXPECT_FALSE(IsPortableMode()) << "no settings file";
}

TEST(DatabaseLocation, PortableSettingCreatesTheDatabaseBesideTheProgram) {
    Sandbox box;
    box.WriteFile("tolvane.ini", "[Global]\nPortable=1\n");
    TSQLiteDatabase& db = DatabaseConnection();
    EXPECT_EQ(db.Path(), box.Path("tlv.sqlite").generic_string());
    EXPECT_EQ(dbVersionOf(db), 2);
    EXPECT_FALSE(fs::exists(box.Path("data/Varnel")));
}

TEST(DatabaseLocation, PortableWordYesIsNotPortable) {
    Sandbox box;
    box.WriteFile("tolvane.ini", "[Global]\nPortable=yes\n");
    EXPECT_EQ(DatabaseConnection().Path(), box.Path("data/Varnel/tlv.sqlite").generic_string());
    EXPECT_FALSE(fs::exists(box.Path("tlv.sqlite")));
}

TEST(DatabaseLocation, EarlierVersionFileMovesIntoThePerUserFolder) {
    Sandbox box;
    makeDatabase(box.Path("data/Keltro Remote/vareduro.s3db"), "earlier");
    TSQLiteDatabase& db = DatabaseConnection();
    EXPECT_EQ(db.Path(), box.Path("data/Varnel/tlv.sqlite").generic_string());
    EXPECT_EQ(markerOf(db), "earlier");
    EXPECT_FALSE(fs::exists(box.Path("data/Keltro Remote"))) << "the emptied folder goes";
}

TEST(DatabaseLocation, EarlierVersionFolderStaysWhenItHoldsMore) {
    Sandbox box;
    makeDatabase(box.Path("data/Keltro Remote/vareduro.s3db"), "earlier");
    box.WriteFile("data/Keltro Remote/notes.txt", "mine");
    EXPECT_EQ(markerOf(DatabaseConnection()), "earlier");
    EXPECT_FALSE(fs::exists(box.Path("data/Keltro Remote/vareduro.s3db")));
    EXPECT_EQ(box.ReadFile("data/Keltro Remote/notes.txt"), "mine");
}

TEST(DatabaseLocation, EarlierVersionFileBesideTheProgramIsRenamedAndMakesPortable) {
    Sandbox box;
    makeDatabase(box.Path("vareduro.s3db"), "earlier");
    EXPECT_TRUE(IsPortableMode());
    EXPECT_FALSE(fs::exists(box.Path("vareduro.s3db")));
    TSQLiteDatabase& db = DatabaseConnection();
    EXPECT_EQ(db.Path(), box.Path("tlv.sqlite").generic_string());
    EXPECT_EQ(markerOf(db), "earlier");
}

TEST(DatabaseLocation, ExistingDatabaseWinsOverTheEarlierVersionFile) {
    {
        Sandbox box;
        makeDatabase(box.Path("data/Varnel/tlv.sqlite"), "current");
        makeDatabase(box.Path("data/Keltro Remote/vareduro.s3db"), "earlier");
        const std::string oldBytes = box.ReadFile("data/Keltro Remote/vareduro.s3db");
        EXPECT_EQ(markerOf(DatabaseConnection()), "current");
        EXPECT_TRUE(box.ReadFile("data/Keltro Remote/vareduro.s3db") == oldBytes)
            << "the file was changed";
    }
    {
        Sandbox box;
        makeDatabase(box.Path("tlv.sqlite"), "current");
        makeDatabase(box.Path("vareduro.s3db"), "earlier");
        const std::string oldBytes = box.ReadFile("vareduro.s3db");
        EXPECT_EQ(markerOf(DatabaseConnection()), "current");
        EXPECT_TRUE(box.ReadFile("vareduro.s3db") == oldBytes) << "the file was changed";
    }
}

TEST(DatabaseLocation, HomeStandsInForAMissingXdgDataHome) {
    Sandbox box;
    ScopedEnv home("HOME", box.Path("home").c_str());
    ScopedEnv xdg("XDG_DATA_HOME", "relative/is/ignored");
    EXPECT_EQ(DatabaseConnection().Path(),
              box.Path("home/.local/share/Varnel/tlv.sqlite").generic_string());
}

TEST(DatabaseLocation, NoDataFolderIsAnErrorNotTheRootFolder) {
    Sandbox box;
    ScopedEnv home("HOME", nullptr);
    ScopedEnv xdg("XDG_DATA_HOME", nullptr);
    EXPECT_THROW(DatabaseConnection(), EInOutError);
    EXPECT_FALSE(fs::exists("/Varnel/tlv.sqlite"));
}

TEST(DatabaseLocation, UncreatableFolderIsAnInputOutputError) {
    Sandbox box;
    box.WriteFile("data/Varnel", "a file where the folder should be");
    try {
        DatabaseConnection();
        FAIL() << "no error";
    } catch (const EInOutError& e) {
        EXPECT_NE(std::string(e.what()).find(box.Path("data/Varnel").generic_string()),
                  std::string::npos)
            << e.what();
    }
    EXPECT_EQ(box.ReadFile("data/Varnel"), "a file where the folder should be");
}

} // namespace
} // namespace tlv
