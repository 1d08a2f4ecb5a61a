// Whole runs through the real peers: the remote API test server and a real FTP server, with the
// site's definition in a real database file and the engine driven by its headless loop.

#include "common/FtpServers.h"
#include "common/TestCertificates.h"
#include "common/XmlRpcPeer.h"
#include "download/FTPThread.h"
#include "engine/EngineFixture.h"
#include "remote/BackupThread.h"
#include "sites/Queues.h"
#include "storage/DatabaseConnection.h"
#include "storage/Translate.h"

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace tlv::test {
namespace {

const std::string kBase = "site-www.example.com-20240301-101500";
const std::vector<std::string> kParts = {kBase + ".k01", kBase + ".k02", kBase + ".kta"};

class BackupAndDownload : public EngineTest {
protected:
    // The remote API server and the FTP server holding the archive parts it will name.
    // `ftpRate` above 0 slows the FTP server's transfers to that many bytes a second.
    void StartPeers(const std::vector<std::string>& serverOptions = {}, int ftpRate = 0,
                    size_t firstPartSize = 1007) {
        server = std::make_unique<XmlRpcPeer>(sandbox.Path("xmlrpc"), serverOptions);
        const fs::path root = sandbox.Path("ftproot");
        fs::create_directories(root);
        for (size_t i = 0; i < kParts.size(); ++i)
            WriteBytes(root / kParts[i], i == 0 ? firstPartSize : 1000 * (i + 1) + 7);
        WriteBytes(root / "keltro.log", 321);
        ftp = std::make_unique<PyFtpServer>(sandbox.Path("ftp"), root, "backup", "ftp-pass",
                                            ftpRate);
    }

    static void WriteBytes(const fs::path& file, size_t count) {
        std::ofstream out(file, std::ios::binary);
        for (size_t i = 0; i < count; ++i)
            out.put(static_cast<char>('a' + i % 26));
    }

    TKeltroSiteDefinition Definition(const std::string& name) const {
        TKeltroSiteDefinition d;
        d.SiteName = name;
        d.URL = "127.0.0.1" + XmlRpcPeer::Path();
        d.Port = server->Port();
        d.Username = XmlRpcPeer::User();
        d.Password = XmlRpcPeer::Password();
        d.Profile = 1;
        d.FTPHost = "127.0.0.1";
        d.FTPPort = ftp->Port();
        d.FTPUsername = "backup";
        d.FTPPassword = "ftp-pass";
        d.FTPInitialDirectory = "/";
        d.DownloadDirectory = sandbox.Path("downloads/" + name).generic_string();
        return d;
    }

    std::unique_ptr<XmlRpcPeer> server;
    std::unique_ptr<PyFtpServer> ftp;
};

TEST_F(BackupAndDownload, OneSiteFromQueueToFilesOnDisk) {
    StartPeers();
    auto definition = Definition("alpha");
    definition.DownloadWhenDone = true;
    TKeltroSite& site = AddSite(definition);

    site.StartBackup(nullptr);
    EXPECT_EQ(site.Metadata().Status, TSiteStatus::BackupRunning); // the queue had room
    ASSERT_TRUE(RunUntil([&] {
        return site.IsNotBusy() && site.DownloadWorker() && site.DownloadWorker()->Ended();
    }));

    EXPECT_EQ(site.Metadata().Status, TSiteStatus::Idle) << site.Metadata().LastError;
    EXPECT_TRUE(site.Metadata().Response.IsFinished);
    EXPECT_EQ(site.BackupFilenames(), kParts);
    const fs::path folder = definition.DownloadDirectory;
    for (size_t i = 0; i < kParts.size(); ++i) {
        ASSERT_TRUE(fs::exists(folder / kParts[i])) << kParts[i];
        EXPECT_EQ(fs::file_size(folder / kParts[i]), 1000 * (i + 1) + 7);
        EXPECT_FALSE(fs::exists(folder / (kParts[i] + ".part")));
    }
    EXPECT_EQ(site.Metadata().TotalBytes, 3007);
    EXPECT_EQ(site.Metadata().DownloadedBytes, 3007);

    EXPECT_TRUE(LogHasInOrder(site, {std::string(80, '-'),
                                     "Keltro Remote is starting a new backup",
                                     "Creating new backup thread",
                                     "Running backup thread",
                                     "Got backup filename: " + kBase + ".kta",
                                     "Got backup progress signal",
                                     "Got multipart backup filenames (3 items).",
                                     "Backup has finished successfully",
                                     "Enqueueing for download",
                                     "Creating new download thread",
                                     "Running download thread",
                                     "Got download progress signal: ",
                                     "Download is now complete"}));
    EXPECT_EQ(LogMessages(site).front(), std::string(80, '-'));

    // The queued states notify nobody; every run is seen starting and ending.
    const auto statuses = recorder.StatusesOf(site.Definition().SiteID);
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.front(), TSiteStatus::BackupRunning);
    EXPECT_EQ(statuses.back(), TSiteStatus::Idle);
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), TSiteStatus::Downloading),
              statuses.end());
    EXPECT_EQ(std::find(statuses.begin(), statuses.end(), TSiteStatus::BackupQueued),
              statuses.end());

    // The last backup time reached the database.
    auto row = DatabaseConnection().Query("SELECT [LastBackup] FROM [Sites] WHERE [SiteID] = ?",
                                          {SQLInt(site.Definition().SiteID)});
    ASSERT_TRUE(row.Next());
    EXPECT_EQ(row.FieldAsText("LastBackup"), site.Definition().LastBackup.ToUSGeneralString());
    EXPECT_GT(site.Definition().LastBackup, TKeltroSiteDefinition::DefaultSiteDate());
}

TEST_F(BackupAndDownload, DownloadQueueOfOneRunsOneDownloadAtATime) {
    StartPeers({"--steps", "1"});
    SetOption("DownloadQueueSize", "1");
    std::vector<TKeltroSite*> sites;
    for (const char* name : {"one", "two", "three"}) {
        auto definition = Definition(name);
        definition.DownloadWhenDone = true;
        sites.push_back(&AddSite(definition));
    }
    for (TKeltroSite* site : sites)
        site->StartBackup(nullptr);
    ASSERT_TRUE(RunUntil([&] {
        return std::all_of(sites.begin(), sites.end(), [](TKeltroSite* s) {
            return s->IsNotBusy() && s->DownloadWorker() && s->DownloadWorker()->Ended();
        });
    }));
    for (TKeltroSite* site : sites) {
        EXPECT_EQ(site->Metadata().Status, TSiteStatus::Idle) << site->Metadata().LastError;
        EXPECT_TRUE(fs::exists(fs::path(site->Definition().DownloadDirectory) / kParts[2]));
    }
    EXPECT_EQ(recorder.MaxAtOnce(TSiteStatus::Downloading), 1);
    EXPECT_LE(recorder.MaxAtOnce(TSiteStatus::BackupRunning), 2);
}

TEST_F(BackupAndDownload, ErrorMemberFailsTheRunAndFetchesTheServerLog) {
    StartPeers({"--error-at", "2:Not enough disk space on the server"});
    auto definition = Definition("broken");
    definition.DownloadWhenDone = true;
    definition.DownloadLogOnFailure = true;
    TKeltroSite& site = AddSite(definition);

    site.StartBackup(nullptr);
    ASSERT_TRUE(RunUntil([&] {
        return site.IsNotBusy() && site.DownloadWorker() && site.DownloadWorker()->Ended();
    }));

    EXPECT_EQ(site.Metadata().Status, TSiteStatus::Failed);
    EXPECT_EQ(site.Metadata().LastError,
              Translate("ERR_XMLRPCLAYER") + "Not enough disk space on the server");
    EXPECT_TRUE(LogHasInOrder(site, {"Backup error: " + site.Metadata().LastError,
                                     "Enqueueing the backup log for download",
                                     "Creating new download thread", "Download is now complete"}));
    const fs::path log = fs::path(definition.DownloadDirectory) / (kBase + ".kta.log");
    ASSERT_TRUE(fs::exists(log));
    EXPECT_EQ(fs::file_size(log), 321u);
    EXPECT_GT(site.Definition().LastBackup, TKeltroSiteDefinition::DefaultSiteDate());
}

struct FailureCase {
    const char* what;
    std::vector<std::string> serverOptions;
    bool https = false;
    bool wrongPin = false;
    bool ftpUnreachable = false;
    const char* logLine;
};

TEST_F(BackupAndDownload, FailuresEndFailedWithTheReason) {
    const FailureCase cases[] = {
        {"dropped connection", {"--drop", "keltro.continueBackup:2"}, false, false, false,
         "Backup error: "},
        {"wrong pin", {}, true, true, false, "Backup error: "},
        {"unreachable FTP server", {"--steps", "1"}, false, false, true, "Download failed: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto options = c.serverOptions;
        TestCertificate certificate;
        if (c.https) {
            certificate = MakeSelfSignedCertificate(sandbox.Path(std::string("certs-") + c.what));
            options.insert(options.end(), {"--cert", certificate.CertFile, "--key",
                                           certificate.KeyFile});
        }
        StartPeers(options);
        auto definition = Definition(c.what);
        definition.DownloadWhenDone = true;
        if (c.https) {
            definition.UseSSL = true;
            definition.CertificateSignature =
                c.wrongPin ? "00:11:22" : OpenSslSignatureText(certificate.LeafFile);
        }
        if (c.ftpUnreachable)
            definition.FTPPort = FreeLoopbackPort();
        TKeltroSite& site = AddSite(definition);
        site.StartBackup(nullptr);
        ASSERT_TRUE(RunUntilSettled(site));
        RunUntil([] { return false; }, std::chrono::milliseconds(50));
        EXPECT_EQ(site.Metadata().Status, TSiteStatus::Failed);
        EXPECT_FALSE(site.Metadata().LastError.empty());
        EXPECT_TRUE(LogHasInOrder(site, {c.logLine + site.Metadata().LastError}));
    }
}

TEST_F(BackupAndDownload, AbortDuringATransfer) {
    StartPeers({"--steps", "1"}, /*ftpRate=*/64 * 1024, /*firstPartSize=*/1024 * 1024);
    auto definition = Definition("aborted");
    definition.DownloadWhenDone = true;
    TKeltroSite& site = AddSite(definition);
    site.StartBackup(nullptr);
    ASSERT_TRUE(RunUntil([&] {
        return site.Metadata().Status == TSiteStatus::Downloading &&
               site.Metadata().DownloadedBytes > 0;
    }));
    const TDateTime backupEnded = site.Definition().LastBackup;

    site.AbortDownload();
    EXPECT_EQ(site.Metadata().Status, TSiteStatus::Idle); // at once
    EXPECT_GE(site.Definition().LastBackup, backupEnded);
    ASSERT_TRUE(RunUntilSettled(site));

    EXPECT_EQ(site.Metadata().Status, TSiteStatus::Failed);
    EXPECT_EQ(site.Metadata().LastError, "");
    EXPECT_TRUE(LogHasInOrder(site, {"ABORTING DOWNLOAD", "Aborting backup",
                                     "Download aborted by user request", "Download failed: "}));
    EXPECT_EQ(LogMessages(site).back(), "Download failed: ");
    // Nothing under the final name looks like a complete archive.
    EXPECT_FALSE(fs::exists(fs::path(definition.DownloadDirectory) / kParts[0]));
}

TEST_F(BackupAndDownload, HttpsWithTheRightPinSucceeds) {
    const auto certificate = MakeSelfSignedCertificate(sandbox.Path("certs"));
    StartPeers({"--cert", certificate.CertFile, "--key", certificate.KeyFile, "--steps", "2"});
    auto definition = Definition("secure");
    definition.UseSSL = true;
    definition.CertificateSignature = OpenSslSignatureText(certificate.LeafFile);
    TKeltroSite& site = AddSite(definition);
    site.StartBackup(nullptr);
    ASSERT_TRUE(RunUntilSettled(site));
    EXPECT_EQ(site.Metadata().Status, TSiteStatus::Idle) << site.Metadata().LastError;
    EXPECT_TRUE(LogHasInOrder(site, {"Backup has finished successfully"}));
}

} // namespace
} // namespace tlv::test
