#include "common/Sandbox.h"
#include "core/Exceptions.h"
#include "storage/DatabaseConnection.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace tlv {
namespace {

using test::Sandbox;

// The Sites table of schema version 1: version 2 without its last six columns.
const char* const kSitesVersion1 =
    "CREATE TABLE [Sites] ([SiteID] INTEGER  PRIMARY KEY NOT NULL,[SiteName] VARCHAR(255)  NOT "
    "NULL,[URL] VARCHAR(255)  NULL,[Port] INTEGER DEFAULT '80' NOT NULL,[UseSSL] BOOLEAN DEFAULT "
    "'False' NOT NULL,[Username] VARCHAR(255)  NULL,[Password] VARCHAR(255)  NULL,[Profile] "
    "INTEGER DEFAULT '1' NULL,[FTPHost] VARCHAR(255)  NULL,[FTPUsername] VARCHAR(255)  "
    "NULL,[FTPPassword] VARCHAR(255)  NULL,[FTPPort] INTEGER DEFAULT '21' "
    "NULL,[FTPInitialDirectory] VARCHAR(255)  NULL,[DownloadWhenDone] BOOLEAN DEFAULT 'False' "
    "NULL,[DownloadLogOnFailure] BOOLEAN DEFAULT 'False' NULL,[DownloadDirectory] VARCHAR(1000)  "
    "NULL,[CertificateSignature] VARCHAR(100)  NULL,[BasicAuthentication] BOOLEAN DEFAULT "
    "'False' NULL,[ProxyPassword] VARCHAR(255)  NULL,[ProxyPort] INTEGER  NULL,[ProxyServer] "
    "VARCHAR(255)  NULL,[ProxyUsername] VARCHAR(255)  NULL,[FPType] INTEGER DEFAULT '0' "
    "NULL,[FPHost] VARCHAR(255)  NULL,[FPUserName] VARCHAR(255)  NULL,[FPPassword] VARCHAR(255)  "
    "NULL,[FPPort] INTEGER  NULL,[ScheduleFrequency] VARCHAR(12)  NULL,[StartDate] DATE  "
    "NULL,[StartTime] TIME  NULL,[ScheduleEnabled] BOOLEAN DEFAULT 'False' NULL,[LastBackup] "
    "TIMESTAMP  NULL)";

const char* const kNewColumns[] = {"FTPActiveMode",    "FTPKeepAlive",        "Throttling",
                                   "DownloadLeadTime", "DeleteAfterDownload", "FTPUseSSL"};

// A database file as the earlier version left it: schema version `version`, two sites, and
// `extra` run last (to plant trouble for the upgrade).
void makeOldDatabase(const std::string& path, int version, const std::string& extra = {}) {
    TSQLiteDatabase db(path, TSQLiteDatabase::OpenMode::CreateNew);
    db.ExecSQL(kSitesVersion1);
    db.ExecSQL("CREATE TABLE [Options] ([Key] VARCHAR(50)  NOT NULL PRIMARY KEY,[Value] "
               "VARCHAR(255)  NULL)");
    db.ExecSQL("INSERT INTO [Options] ([Key],[Value]) VALUES (\"DBVersion\", ?)",
               {SQLInt(version)});
    db.ExecSQL("INSERT INTO [Sites] ([SiteName], [URL]) VALUES ('One', 'one.example/x')");
    db.ExecSQL("INSERT INTO [Sites] ([SiteName], [URL]) VALUES ('Two', 'two.example/x')");
    if (!extra.empty())
        db.ExecSQL(extra);
}

int64_t dbVersionOf(TSQLiteDatabase& db) {
    auto query = db.Query("SELECT * FROM [Options] WHERE [Key] = \"DBVersion\"");
    return query.Next() ? query.FieldAsInteger("Value") : 0;
}

std::vector<std::string> columnsOf(TSQLiteDatabase& db, const std::string& table) {
    std::vector<std::string> columns;
    auto query = db.Query("SELECT [name] FROM pragma_table_info(?)", {SQLText(table)});
    while (query.Next())
        columns.push_back(query.FieldAsText("name"));
    return columns;
}

TEST(Schema, NewFileGetsTheThreeStatementsAndOwnerOnlyAccess) {
    Sandbox box;
    const std::string path = box.UseDatabase();
    TSQLiteDatabase& db = DatabaseConnection();

    auto tables = db.Query("SELECT [name], [sql] FROM sqlite_master WHERE [type] = 'table' "
                           "ORDER BY [rowid]");
    ASSERT_TRUE(tables.Next());
    EXPECT_EQ(tables.FieldAsText("name"), "Sites");
    const std::string sites = tables.FieldAsText("sql");
    EXPECT_EQ(sites.rfind("CREATE TABLE [Sites] ([SiteID] INTEGER  PRIMARY KEY NOT NULL,", 0), 0u);
    EXPECT_NE(sites.find(",[DeleteAfterDownload] BOOLEAN,[FTPUseSSL] BOOLEAN)"), std::string::npos);
    ASSERT_TRUE(tables.Next());
    EXPECT_EQ(tables.FieldAsText("sql"), "CREATE TABLE [Options] ([Key] VARCHAR(50)  NOT NULL "
                                         "PRIMARY KEY,[Value] VARCHAR(255)  NULL)");
    EXPECT_FALSE(tables.Next());
    EXPECT_EQ(columnsOf(db, "Sites").size(), 38u);

    auto options = db.Query("SELECT * FROM [Options]");
    ASSERT_TRUE(options.Next());
    EXPECT_EQ(options.FieldAsText("Key"), "DBVersion");
    EXPECT_EQ(options.FieldAsText("Value"), "2");
    EXPECT_FALSE(options.Next());

    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

TEST(Schema, CreateSchemaNeverTouchesAnExistingFile) {
    Sandbox box;
    box.WriteFile("tlv-test.sqlite", "precious");
    EXPECT_THROW(CreateSchema(box.Path("tlv-test.sqlite").generic_string()), ESQLiteException);
    EXPECT_EQ(box.ReadFile("tlv-test.sqlite"), "precious");
}

TEST(Schema, VersionOneIsUpgradedWithZeroesInTheNewColumns) {
    Sandbox box;
    makeOldDatabase(box.UseDatabase(), 1);
    TSQLiteDatabase& db = DatabaseConnection();
    EXPECT_EQ(dbVersionOf(db), 2);
    EXPECT_EQ(columnsOf(db, "Sites").size(), 38u);
    int rows = 0;
    auto sites = db.Query("SELECT * FROM [Sites]");
    while (sites.Next()) {
        ++rows;
        for (const char* column : kNewColumns) {
            EXPECT_FALSE(sites.FieldIsNull(column)) << column;
            EXPECT_EQ(sites.FieldAsInteger(column), 0) << column;
        }
    }
    EXPECT_EQ(rows, 2);
}

TEST(Schema, LaterVersionIsOpenedUnchanged) {
    Sandbox box;
    const std::string path = box.UseDatabase();
    makeOldDatabase(path, 3);
    const std::string before = box.ReadFile("tlv-test.sqlite");
    EXPECT_EQ(dbVersionOf(DatabaseConnection()), 3);
    EXPECT_EQ(columnsOf(DatabaseConnection(), "Sites").size(), 32u);
    ReleaseDatabaseConnection();
    EXPECT_TRUE(box.ReadFile("tlv-test.sqlite") == before) << "the file was changed";
}

TEST(Schema, FailedUpgradeIsRolledBackWhole) {
    Sandbox box;
    const std::string path = box.UseDatabase();
    // The last ALTER TABLE of the upgrade fails on this column, after five have succeeded.
    makeOldDatabase(path, 1, "ALTER TABLE [Sites] ADD COLUMN [FTPUseSSL] BOOLEAN");
    const std::string before = box.ReadFile("tlv-test.sqlite");

    try {
        DatabaseConnection();
        FAIL() << "no error";
    } catch (const ESQLiteException& e) {
        const std::string message = e.what();
        EXPECT_NE(message.find("ALTER TABLE [Sites] ADD COLUMN [FTPUseSSL] BOOLEAN"),
                  std::string::npos)
            << message;
        EXPECT_NE(message.find("duplicate column"), std::string::npos) << message;
    }
    EXPECT_TRUE(box.ReadFile("tlv-test.sqlite") == before) << "the file was changed";

    // The same on a connection of our own, which must stay usable and outside any transaction.
    TSQLiteDatabase db(path);
    EXPECT_THROW(UpgradeToVersion2(db), ESQLiteException);
    EXPECT_EQ(dbVersionOf(db), 1);
    EXPECT_EQ(columnsOf(db, "Sites").size(), 33u);
    EXPECT_NO_THROW(db.InTransaction([&] { db.ExecSQL("UPDATE [Sites] SET [Port] = 81"); }));
}

TEST(Schema, ForeignFileIsReportedAndLeftAlone) {
    Sandbox box;
    box.UseDatabase();
    const std::string content(4096, 'x');
    box.WriteFile("tlv-test.sqlite", content);
    try {
        DatabaseConnection();
        FAIL() << "no error";
    } catch (const ESQLiteException& e) {
        const std::string expected =
            "Failed to open database \"" + box.Path("tlv-test.sqlite").generic_string() + "\" : ";
        EXPECT_EQ(std::string(e.what()).rfind(expected, 0), 0u) << e.what();
    }
    EXPECT_TRUE(box.ReadFile("tlv-test.sqlite") == content) << "the file was changed";
}

TEST(Schema, FolderThatIsAFileIsReported) {
    Sandbox box;
    box.WriteFile("blocker", "not a folder");
    box.UseDatabase("blocker/tlv.sqlite");
    try {
        DatabaseConnection();
        FAIL() << "no error";
    } catch (const Exception& e) {
        EXPECT_NE(std::string(e.what()).find(box.Path("blocker").generic_string()),
                  std::string::npos)
            << e.what();
    }
    EXPECT_EQ(box.ReadFile("blocker"), "not a folder");
}

TEST(Schema, ReadOnlyFileIsReportedAndLeftAlone) {
    if (geteuid() == 0)
        GTEST_SKIP() << "file permissions do not bind root";
    Sandbox box;
    const std::string path = box.UseDatabase();
    CreateSchema(path);
    const std::string before = box.ReadFile("tlv-test.sqlite");
    fs::permissions(path, fs::perms::owner_read);
    try {
        DatabaseConnection();
        FAIL() << "no error";
    } catch (const ESQLiteException& e) {
        EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
    }
    EXPECT_TRUE(box.ReadFile("tlv-test.sqlite") == before) << "the file was changed";
}

} // namespace
} // namespace tlv
