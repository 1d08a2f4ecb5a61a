// tolvane-cli's commands that run the engine, against the remote API test server and a real FTP
// server: backup with download, the backup list and an older backup's download, the scheduler,
// the signals, and the live lines on a terminal.

#include "cli/CliFixture.h"
#include "storage/SQLite.h"

#include <csignal>
#include <filesystem>

namespace fs = std::filesystem;

namespace tlv::test {
namespace {

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

void expectParts(const fs::path& folder, const std::vector<std::string>& names) {
    for (size_t i = 0; i < names.size(); ++i) {
        ASSERT_TRUE(fs::exists(folder / names[i])) << names[i];
        EXPECT_EQ(fs::file_size(folder / names[i]), 1000 * (i + 1) + 7) << names[i];
    }
}

TEST_F(CliTest, BackupRunsTheSiteThroughItsDownloadAndPrintsItsLogLines) {
    StartPeers();
    AddSite("alpha");

    const CliResult result = Cli({"backup", "alpha"});

    ASSERT_EQ(result.ExitCode, 0) << result.Err;
    EXPECT_EQ(result.Err, "");
    expectParts(DownloadFolder("alpha"), kParts);
    // Not a terminal: the site's log lines as they came, each behind the site's name.
    size_t position = 0;
    for (const std::string line :
         {"Keltro Remote is starting a new backup", "Backup has finished successfully",
          "Enqueueing for download", "Download is now complete"}) {
        position = result.Out.find("] " + line, position);
        EXPECT_NE(position, std::string::npos) << line << "\n" << result.Out;
    }
    for (size_t start = 0; start < result.Out.size();) {
        const size_t end = result.Out.find('\n', start);
        EXPECT_EQ(result.Out.compare(start, 7, "alpha: "), 0)
            << result.Out.substr(start, end - start);
        start = end == std::string::npos ? result.Out.size() : end + 1;
    }
    ExpectNoSecrets(result);
    EXPECT_NE(Show("alpha")["LastBackup"], "2000-01-01 00:00:00");
}

TEST_F(CliTest, BackupAllReportsEachFailedSiteAndExitsOne) {
    StartPeers({"--steps", "1"});
    AddSite("alpha");
    AddSite("beta");
    ASSERT_EQ(Cli({"set", "beta", "Password=wrong-one"}).ExitCode, 0);

    const CliResult result = Cli({"--json", "backup", "--all"});

    EXPECT_EQ(result.ExitCode, 1);
    const nlohmann::json document = nlohmann::json::parse(result.Out);
    EXPECT_EQ(document["ok"], false);
    EXPECT_EQ(document["interrupted"], false);
    ASSERT_EQ(document["sites"].size(), 2u);
    const nlohmann::json& alpha = document["sites"][0];
    EXPECT_EQ(alpha["name"], "alpha");
    EXPECT_EQ(alpha["ok"], true);
    EXPECT_EQ(alpha["status"], "Idle");
    EXPECT_EQ(alpha["downloaded"], true);
    EXPECT_EQ(alpha["archives"], kParts);
    EXPECT_EQ(fs::path(alpha["downloadDirectory"].get<std::string>()), DownloadFolder("alpha"));
    const nlohmann::json& beta = document["sites"][1];
    EXPECT_EQ(beta["ok"], false);
    EXPECT_EQ(beta["status"], "Failed");
    const std::string error = beta["lastError"];
    EXPECT_NE(error.find("Authentication failed"), std::string::npos) << error;
    // Each failure on stderr with the site's name; the progress went there too, so that stdout
    // holds the JSON document alone.
    EXPECT_NE(result.Err.find("tolvane-cli: beta: " + error + "\n"), std::string::npos)
        << result.Err;
    EXPECT_EQ(result.Err.find("tolvane-cli: alpha:"), std::string::npos);
    EXPECT_NE(result.Err.find("beta: ["), std::string::npos);
    ExpectNoSecrets(result);
    expectParts(DownloadFolder("alpha"), kParts);
}

TEST_F(CliTest, BackupsListsTheRecordsAndDownloadFetchesAnOlderOne) {
    StartPeers();
    AddSite("alpha");

    const CliResult listed = Cli({"--json", "backups", "alpha"});
    ASSERT_EQ(listed.ExitCode, 0) << listed.Err;
    const nlohmann::json backups = nlohmann::json::parse(listed.Out);
    ASSERT_EQ(backups.size(), 3u);
    EXPECT_EQ(backups[0], nlohmann::json({{"id", 3},
                                          {"description", "Backup taken on 1 March 2024"},
                                          {"backupstart", "2024-03-01 10:00:00"},
                                          {"type", "full"},
                                          {"meta", "ok"},
                                          {"profile", 1}}));
    EXPECT_EQ(backups[1]["meta"], "obsolete");
    EXPECT_EQ(backups[2]["id"], 1);

    const CliResult table = Cli({"backups", "alpha"});
    EXPECT_EQ(table.Out.rfind(Text("BUADMIN_BGLBL_ID"), 0), 0u) << table.Out;
    EXPECT_NE(table.Out.find(Text("BUADMIN_BGLBL_FULL")), std::string::npos);
    EXPECT_NE(table.Out.find(Text("BUADMIN_BGLBL_OBSOLETE")), std::string::npos);

    const CliResult obsolete = Cli({"download", "alpha", "2"});
    EXPECT_EQ(obsolete.ExitCode, 2);
    EXPECT_EQ(obsolete.Err, "tolvane-cli: " + Text("BUADMIN_ERR_INVALIDRECORD") + "\n");
    const CliResult unknown = Cli({"download", "alpha", "42"});
    EXPECT_EQ(unknown.ExitCode, 2);
    EXPECT_EQ(unknown.Err, "tolvane-cli: site \"alpha\" holds no backup with id 42\n");

    const CliResult downloaded = Cli({"--json", "download", "alpha", "1"});
    ASSERT_EQ(downloaded.ExitCode, 0) << downloaded.Err;
    const std::string base = "site-www.example.com-backup-1";
    const std::vector<std::string> parts = {base + ".k01", base + ".k02", base + ".kta"};
    expectParts(DownloadFolder("alpha"), parts);
    const nlohmann::json result = nlohmann::json::parse(downloaded.Out);
    EXPECT_EQ(result["ok"], true);
    EXPECT_EQ(result["sites"][0]["archives"], parts);
    // API 2.1: the parts of that backup were asked for by its id.
    bool askedForParts = false;
    for (const RecordedRequest& request : server->Requests())
        if (request.Call == "keltro.getParts" &&
            request.Body.find("<int>1</int>") != std::string::npos)
            askedForParts = true;
    EXPECT_TRUE(askedForParts);
    ExpectNoSecrets(downloaded);
}

TEST_F(CliTest, DownloadFromAnOlderAPITakesTheSingleArchive) {
    StartPeers({"--api-version", "2.0"});
    AddSite("alpha");
    const CliResult downloaded = Cli({"download", "alpha", "3"});
    ASSERT_EQ(downloaded.ExitCode, 0) << downloaded.Err;
    EXPECT_TRUE(fs::exists(DownloadFolder("alpha") / "site-www.example.com-backup-3.kta"));
    EXPECT_FALSE(fs::exists(DownloadFolder("alpha") / "site-www.example.com-backup-3.k01"));
    const auto calls = server->Calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "keltro.getParts"), 0);
}

TEST_F(CliTest, RunBacksUpADueSiteTakesInNewSitesAndStopsOnSigterm) {
    StartPeers({"--steps", "1"});
    AddSite("alpha");
    // Scheduled daily and never backed up: due at the first check.
    ASSERT_EQ(Cli({"set", "alpha", "ScheduleEnabled=1", "StartTime=02:00"}).ExitCode, 0);

    auto run = Start({"run"});
    ASSERT_TRUE(run->WaitForOut("alpha: ", std::chrono::seconds(60)));
    ASSERT_TRUE(run->WaitForOut("] Download is now complete", std::chrono::seconds(60)))
        << run->Out() << run->Err();

    // A site added meanwhile by another command is taken in and, being due, backed up.
    AddSite("beta");
    ASSERT_EQ(Cli({"set", "beta", "ScheduleEnabled=1"}).ExitCode, 0);
    ASSERT_TRUE(WaitFor([&] { return count(run->Out(), "] Download is now complete") >= 2; },
                        std::chrono::seconds(60)))
        << run->Out() << run->Err();
    // Its next occurrence lies ahead: a few more schedule checks start nothing.
    std::this_thread::sleep_for(std::chrono::seconds(4));

    run->Signal(SIGTERM);
    const CliResult result = run->Wait(std::chrono::seconds(30));
    EXPECT_EQ(result.ExitCode, 0) << result.Err;
    EXPECT_EQ(count(result.Out, "alpha: [") > 0, true);
    EXPECT_EQ(count(result.Out, "] Keltro Remote is starting a new backup"), 2u) << result.Out;
    EXPECT_NE(result.Out.find("beta: ["), std::string::npos);
    ExpectNoSecrets(result);
    expectParts(DownloadFolder("alpha"), kParts);
    expectParts(DownloadFolder("beta"), kParts);
    EXPECT_NE(Show("alpha")["LastBackup"], "2000-01-01 00:00:00");
}

TEST_F(CliTest, SigintDuringABackupAbortsItSavesAndExitsOne) {
    StartPeers({"--steps", "5"});
    AddSite("alpha");
    // A long pause between two steps: the interrupt comes while the backup runs.
    ASSERT_EQ(Cli({"set", "alpha", "Throttling=30"}).ExitCode, 0);

    auto backup = Start({"backup", "alpha"});
    ASSERT_TRUE(backup->WaitForOut("] Throttling; waiting", std::chrono::seconds(60)))
        << backup->Out() << backup->Err();
    backup->Signal(SIGINT);
    const CliResult result = backup->Wait(std::chrono::seconds(20));

    EXPECT_EQ(result.ExitCode, 1) << result.Err;
    EXPECT_NE(result.Out.find("alpha: ["), std::string::npos);
    EXPECT_NE(result.Out.find("] ABORTING BACKUP"), std::string::npos) << result.Out;
    EXPECT_EQ(result.Err, "tolvane-cli: alpha: aborted\n");
    // The abort is the end of the run for the schedule.
    EXPECT_NE(Show("alpha")["LastBackup"], "2000-01-01 00:00:00");
    EXPECT_FALSE(fs::exists(DownloadFolder("alpha") / kParts.back()));
}

TEST_F(CliTest, OnATerminalEachSiteHasOneLiveLine) {
    // A slow FTP server: the download lasts a few redraws.
    StartPeers({"--steps", "2"}, 100000, 300000);
    AddSite("alpha");
    const std::vector<std::string> args = {"--db", database, "backup", "alpha"};
    const CliResult result = RunCliOnTerminal(sandbox.Root(), args);
    ASSERT_EQ(result.ExitCode, 0) << result.Out;
    // Redrawn in place: cursor movements, no log lines.
    EXPECT_NE(result.Out.find("\x1b[J"), std::string::npos);
    EXPECT_EQ(result.Out.find("alpha: ["), std::string::npos);
    // The last frame: the site's final state.
    const std::string last = result.Out.substr(result.Out.rfind("\x1b[J") + 3);
    EXPECT_EQ(last.rfind("alpha  " + Text("MAIN_SG_STIDLE"), 0), 0u) << last;
    const size_t downloading = result.Out.find("alpha  " + Text("MAIN_SG_STDL") + "  ");
    ASSERT_NE(downloading, std::string::npos) << result.Out;
    const std::string line =
        result.Out.substr(downloading, result.Out.find('\r', downloading) - downloading);
    EXPECT_NE(line.find("% "), std::string::npos) << line;
    EXPECT_EQ(result.Out.find(XmlRpcPeer::Password()), std::string::npos);
    EXPECT_EQ(fs::file_size(DownloadFolder("alpha") / kParts[0]), 300000u);
}

TEST_F(CliTest, AQueueLimitThatStartsNothingIsASetUpError) {
    StartPeers();
    AddSite("alpha");
    struct Case {
        const char* key;
        const char* value;
        std::vector<std::string> args;
        std::string error;
    } cases[] = {
        {"BackupQueueSize", "abc", {"backup", "alpha"}, "option BackupQueueSize: "},
        {"DownloadQueueSize", "0", {"download", "alpha", "1"}, "option DownloadQueueSize is 0"},
        // The scheduler's queue tick fails at once: it stops rather than run without queues.
        {"BackupQueueSize", "abc", {"run"}, "the engine stopped: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.front());
        {
            TSQLiteDatabase db(database);
            db.ExecSQL("DELETE FROM [Options]  WHERE [Key] <> \"DBVersion\"");
            db.ExecSQL("INSERT INTO [Options] ([Key], [Value]) VALUES (?, ?)",
                       {SQLText(c.key), SQLText(c.value)});
        }
        const CliResult result = Cli(c.args);
        EXPECT_EQ(result.ExitCode, 3) << result.Out << result.Err;
        EXPECT_NE(result.Err.find("tolvane-cli: " + c.error), std::string::npos) << result.Err;
    }
    EXPECT_EQ(Show("alpha")["LastBackup"], "2000-01-01 00:00:00");
}

} // namespace
} // namespace tlv::test
