#include "common/Sandbox.h"
#include "sites/KeltroSite.h"
#include "sites/SiteManager.h"
#include "storage/DatabaseConnection.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>

namespace tlv {
namespace {

// A definition with every field away from its default.
TKeltroSiteDefinition sampleDefinition(const std::string& name) {
    TKeltroSiteDefinition d;
    d.SiteName = name;
    d.URL = "www.example.com/index.php?option=com_keltro";
    d.Port = 8443;
    d.UseSSL = true;
    d.Username = "admin";
    d.Password = "p@ss'word\"";
    d.Profile = 3;
    d.CertificateSignature = "0a:1b:2c";
    d.FTPHost = "ftp.example.com";
    d.FTPUsername = "ftpuser";
    d.FTPPassword = "ftppass";
    d.FTPPort = 2121;
    d.FTPInitialDirectory = "/backups";
    d.DownloadWhenDone = true;
    d.DownloadLogOnFailure = true;
    d.DownloadDirectory = "Backups/" + name;
    d.BasicAuthentication = true;
    d.ProxyPassword = "proxypass";
    d.ProxyPort = 3128;
    d.ProxyServer = "proxy.example.com";
    d.ProxyUsername = "proxyuser";
    d.FPType = TFTPProxyType::NovellBorder;
    d.FPHost = "ftpproxy.example.com";
    d.FPUserName = "fpuser";
    d.FPPassword = "fppass";
    d.FPPort = 2100;
    d.ScheduleEnabled = true;
    d.ScheduleFrequency = TScheduleFrequency::Weekly;
    d.StartDate = TDateTime::EncodeDate(2010, 2, 3);
    d.StartTime = TDateTime::EncodeTime(14, 5, 0);
    d.LastBackup = TDateTime::Encode(2021, 11, 25, 21, 7, 3);
    d.FTPActiveMode = true;
    d.FTPKeepAlive = true;
    d.Throttling = 5;
    d.DownloadLeadTime = 30;
    d.DeleteAfterDownload = true;
    d.FTPUseSSL = true;
    return d;
}

class SiteTest : public ::testing::Test {
protected:
    void SetUp() override { m_databasePath = m_box.UseDatabase(); }

    // A new site, stored and appended to the manager.
    TKeltroSite& storeSite(const TKeltroSiteDefinition& definition) {
        auto site = std::make_unique<TKeltroSite>(m_manager);
        site->SetDefinition(definition);
        site->Save();
        return m_manager.Add(std::move(site));
    }

    TKeltroSite& loadSite(int32_t siteID) {
        auto site = std::make_unique<TKeltroSite>(m_manager);
        site->LoadFromDatabase(siteID);
        return m_manager.Add(std::move(site));
    }

    // One column of one Sites row exactly as the file holds it.
    std::string storedText(int32_t siteID, const std::string& column) {
        auto row =
            DatabaseConnection().Query("SELECT typeof([" + column + "]) AS [Kind], [" + column +
                                           "] AS [Stored] FROM [Sites] "
                                           "WHERE [SiteID] = ?",
                                       {SQLInt(siteID)});
        EXPECT_TRUE(row.Next());
        return row.FieldAsText("Kind") + ":" + row.FieldAsText("Stored");
    }

    int siteRows() {
        auto query = DatabaseConnection().Query("SELECT COUNT(*) AS [Rows] FROM [Sites]");
        query.Next();
        return static_cast<int>(query.FieldAsInteger("Rows"));
    }

    test::Sandbox m_box;
    std::string m_databasePath;
    TKeltroSiteManager m_manager;
};

TEST_F(SiteTest, SavedSiteIsStoredInItsStoredFormsAndReadsBackEqual) {
    const TKeltroSiteDefinition definition = sampleDefinition("Example");
    const int32_t id = storeSite(definition).Definition().SiteID;
    ASSERT_GT(id, 0);

    struct Case {
        const char* column;
        const char* stored;
    };
    const Case cases[] = {
        {"SiteName", "text:Example"},
        {"Port", "integer:8443"},
        {"UseSSL", "integer:1"},
        {"Password", "text:p@ss'word\""},
        {"FPType", "integer:7"},
        {"ScheduleFrequency", "text:weekly"},
        {"StartDate", "text:2/3/2010"},
        {"StartTime", "text:12/30/1899 2:05:00 PM"},
        {"LastBackup", "text:11/25/2021 9:07:03 PM"},
        {"FTPUseSSL", "integer:1"},
        {"Throttling", "integer:5"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(storedText(id, c.column), c.stored) << c.column;

    TKeltroSiteDefinition expected = definition;
    expected.SiteID = id;
    EXPECT_EQ(loadSite(id).Definition(), expected);
}

TEST_F(SiteTest, FalseFlagsAreStoredAsZero) {
    TKeltroSiteDefinition definition;
    definition.SiteName = "Plain";
    const int32_t id = storeSite(definition).Definition().SiteID;
    EXPECT_EQ(storedText(id, "UseSSL"), "integer:0");
    EXPECT_EQ(storedText(id, "DeleteAfterDownload"), "integer:0");
    EXPECT_EQ(storedText(id, "ScheduleFrequency"), "text:daily");
    EXPECT_EQ(storedText(id, "StartDate"), "text:1/1/2000");
}

TEST_F(SiteTest, RowOfNullsLoadsAsDefaults) {
    DatabaseConnection().ExecSQL(
        "INSERT INTO [Sites] ([SiteName], [URL], [Username], [Password], [Profile], [FTPHost], "
        "[FTPUsername], [FTPPassword], [FTPPort], [FTPInitialDirectory], [DownloadWhenDone], "
        "[DownloadLogOnFailure], [DownloadDirectory], [CertificateSignature], "
        "[BasicAuthentication], [ProxyPassword], [ProxyPort], [ProxyServer], [ProxyUsername], "
        "[FPType], [FPHost], [FPUserName], [FPPassword], [FPPort], [ScheduleFrequency], "
        "[StartDate], [StartTime], [ScheduleEnabled], [LastBackup]) VALUES ('Bare', NULL, "
        "NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, "
        "NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL)");
    const int32_t id = static_cast<int32_t>(DatabaseConnection().LastInsertRowID());

    TKeltroSiteDefinition expected;
    expected.SiteID = id;
    expected.SiteName = "Bare";
    expected.Port = 80; // the column's default; it cannot be NULL
    // UseSSL holds the schema's default, the text 'False', which reads as false.
    EXPECT_EQ(storedText(id, "UseSSL"), "text:False");
    EXPECT_EQ(loadSite(id).Definition(), expected);
}

TEST_F(SiteTest, StoredFormsAreReadAsWritten) {
    const int32_t id = storeSite(sampleDefinition("Forms")).Definition().SiteID;
    auto setColumn = [&](const char* column, const TSQLParam& value) {
        DatabaseConnection().ExecSQL(std::string("UPDATE [Sites] SET [") + column +
                                         "] = ? WHERE [SiteID] = ?",
                                     {value, SQLInt(id)});
        TKeltroSite site(m_manager);
        site.LoadFromDatabase(id);
        return site.Definition();
    };

    const std::pair<const char*, TScheduleFrequency> frequencies[] = {
        {"daily", TScheduleFrequency::Daily},     {"weekly", TScheduleFrequency::Weekly},
        {"monthly", TScheduleFrequency::Monthly}, {"yearly", TScheduleFrequency::Yearly},
        {"Weekly", TScheduleFrequency::Daily},    {"YEARLY", TScheduleFrequency::Daily},
        {"hourly", TScheduleFrequency::Daily},    {"", TScheduleFrequency::Daily},
    };
    for (const auto& [text, frequency] : frequencies)
        EXPECT_EQ(setColumn("ScheduleFrequency", SQLText(text)).ScheduleFrequency, frequency)
            << text;

    const std::pair<int64_t, TFTPProxyType> proxyTypes[] = {
        {0, TFTPProxyType::NoProxy},       {1, TFTPProxyType::UserSite},
        {9, TFTPProxyType::Custom},        {10, TFTPProxyType::NoProxy},
        {12, TFTPProxyType::NoProxy},      {-1, TFTPProxyType::NoProxy},
        {256 + 3, TFTPProxyType::NoProxy},
    };
    for (const auto& [number, type] : proxyTypes)
        EXPECT_EQ(setColumn("FPType", SQLInt(number)).FPType, type) << number;

    const TDateTime fallback = TDateTime::EncodeDate(2000, 1, 1);
    const std::pair<const char*, TDateTime> dates[] = {
        {"2/3/2010", TDateTime::EncodeDate(2010, 2, 3)},
        {"12/30/1899 2:05:00 PM", TDateTime::EncodeTime(14, 5, 0)},
        {"11/25/2021 12:00:01 AM", TDateTime::Encode(2021, 11, 25, 0, 0, 1)},
        {"25.11.2021 21:07:03", fallback},
        {"2021-11-25", fallback},
        {"13/25/2021", fallback},
        {"", fallback},
    };
    for (const auto& [text, value] : dates)
        EXPECT_EQ(setColumn("LastBackup", SQLText(text)).LastBackup, value) << text;

    EXPECT_TRUE(setColumn("UseSSL", SQLInt(-1)).UseSSL) << "any non-zero number is true";
    EXPECT_FALSE(setColumn("UseSSL", SQLText("True")).UseSSL) << "text converts to 0";
}

TEST_F(SiteTest, NumbersOutsideTheirRangeAreWrittenAsTheDefault) {
    TKeltroSiteDefinition definition = sampleDefinition("Odd");
    definition.FPType = static_cast<TFTPProxyType>(12);
    definition.ScheduleFrequency = static_cast<TScheduleFrequency>(7);
    const int32_t id = storeSite(definition).Definition().SiteID;
    EXPECT_EQ(storedText(id, "FPType"), "integer:0");
    EXPECT_EQ(storedText(id, "ScheduleFrequency"), "text:daily");

    DatabaseConnection().ExecSQL("UPDATE [Sites] SET [FPType] = 12");
    TKeltroSite& loaded = loadSite(id);
    EXPECT_EQ(loaded.Definition().FPType, TFTPProxyType::NoProxy);
    loaded.Save();
    EXPECT_EQ(storedText(id, "FPType"), "integer:0");
}

TEST_F(SiteTest, FirstSaveInsertsAndLaterSavesUpdate) {
    TKeltroSite& first = storeSite(sampleDefinition("First"));
    EXPECT_EQ(first.Definition().SiteID, DatabaseConnection().LastInsertRowID());
    TKeltroSite& second = storeSite(sampleDefinition("Second"));
    EXPECT_GT(second.Definition().SiteID, first.Definition().SiteID);
    EXPECT_EQ(siteRows(), 2);

    TKeltroSiteDefinition changed = first.Definition();
    changed.SiteName = "First, renamed";
    changed.UseSSL = false;
    first.SetDefinition(changed);
    first.Save();
    EXPECT_EQ(siteRows(), 2);
    EXPECT_EQ(loadSite(changed.SiteID).Definition(), changed);
    EXPECT_EQ(storedText(second.Definition().SiteID, "SiteName"), "text:Second");
}

TEST_F(SiteTest, LoadingAnUnknownIdRaisesAndChangesNothing) {
    TKeltroSite& site = storeSite(sampleDefinition("Kept"));
    const TKeltroSiteDefinition before = site.Definition();
    try {
        site.LoadFromDatabase(42);
        FAIL() << "no error";
    } catch (const ESiteIDNotFound& e) {
        EXPECT_STREQ(e.what(), "Site #42 not found");
    }
    EXPECT_EQ(site.Definition(), before);
}

TEST_F(SiteTest, LoadingResetsTheRunTimeState) {
    TKeltroSite& site = storeSite(sampleDefinition("Busy"));
    site.SetStatus(TSiteStatus::Downloading);
    site.LoadFromDatabase(site.Definition().SiteID);
    EXPECT_EQ(site.Metadata().Status, TSiteStatus::Idle);
}

TEST_F(SiteTest, DefinitionCanOnlyBeReplacedWhileNotBusy) {
    TKeltroSite& site = storeSite(sampleDefinition("Original"));
    const TKeltroSiteDefinition before = site.Definition();
    const TSiteStatus busy[] = {TSiteStatus::BackupRunning, TSiteStatus::Reserved,
                                TSiteStatus::Downloading, TSiteStatus::BackupQueued,
                                TSiteStatus::DownloadQueued};
    for (TSiteStatus status : busy) {
        site.SetStatus(status);
        try {
            site.SetDefinition(sampleDefinition("Replacement"));
            ADD_FAILURE() << "no error for status " << static_cast<int>(status);
        } catch (const EKTAlreadyRunning& e) {
            EXPECT_STREQ(e.what(), "Site already running");
        }
        EXPECT_EQ(site.Definition(), before);
        EXPECT_EQ(site.Metadata().Status, status);
    }

    site.SetStatus(TSiteStatus::Failed);
    TKeltroSiteDefinition replacement = sampleDefinition("Replacement");
    replacement.SiteID = 77;
    site.SetDefinition(replacement);
    EXPECT_EQ(site.Definition(), replacement) << "SiteID included";
    EXPECT_EQ(site.Metadata().Status, TSiteStatus::Idle);
    EXPECT_EQ(storedText(before.SiteID, "SiteName"), "text:Original") << "not saved";
}

TEST_F(SiteTest, DeletingAStoredSiteRemovesItsRowAndReleasesIt) {
    storeSite(sampleDefinition("One"));
    TKeltroSite& doomed = storeSite(sampleDefinition("Two"));
    storeSite(sampleDefinition("Three"));
    const int32_t id = doomed.Definition().SiteID;
    doomed.Delete();
    EXPECT_EQ(siteRows(), 2);
    EXPECT_EQ(m_manager.Count(), 2);
    EXPECT_THROW(m_manager.IndexOfID(id), EKTSiteIDNotFound);
    EXPECT_EQ(m_manager.Items(1).Definition().SiteName, "Three");
}

TEST_F(SiteTest, DeletingANeverSavedSiteRunsNoStatement) {
    auto site = std::make_unique<TKeltroSite>(m_manager);
    site->SetDefinition(sampleDefinition("Unsaved"));
    m_manager.Add(std::move(site)).Delete();
    EXPECT_EQ(m_manager.Count(), 0);
    // Not even a connection was opened: the file was never created.
    EXPECT_FALSE(std::filesystem::exists(m_databasePath));
}

} // namespace
} // namespace tlv
