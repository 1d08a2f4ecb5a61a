// The download worker against the scripted server: exact conversations, aborts at every stage,
// and the faults real servers will not produce on demand.
#include "FtpScript.h"
#include "WorkerHarness.h"
#include "common/FtpServers.h"
#include "core/Text.h"

#include <fstream>

namespace tlv {
namespace {

using namespace std::chrono_literals;
using namespace test::ftpscript;
namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

class FTPThreadScripted : public test::WorkerHarness {
protected:
    test::ScriptedFtpServer& Serve(const json& steps) {
        m_server.reset();
        m_server = std::make_unique<test::ScriptedFtpServer>(
            m_sandbox.Path("scripted" + std::to_string(++m_servers)), Script(steps).dump());
        return *m_server;
    }

    Lines AfterLogin() {
        m_server->WaitForCommands(0, 1s);
        auto transcript = m_server->Transcript();
        return transcript.size() > 5 ? Lines(transcript.begin() + 5, transcript.end()) : Lines{};
    }

    std::string Listing(const std::string& name, std::size_t size) {
        return "-rw-r--r-- 1 u g " + std::to_string(size) + " Jan 1 12:00 " + name + "\r\n";
    }

    std::unique_ptr<test::ScriptedFtpServer> m_server;
    int m_servers = 0;
};

// One part whose size only LIST tells, fetched slowly, then deleted.
json onePartConversation(const std::string& listing, std::size_t size) {
    return Concat(
        LoginSteps(),
        json::array({Step("CWD /backups", "250 OK"),
                     Step("SIZE a.kta", "550 Not in ASCII mode"),
                     Pasv(),
                     {{"cmd", "LIST"}, {"reply", "150 Listing"}, {"data", {{"text", listing}}}},
                     Step("TYPE I", "200 Type I"),
                     Pasv(),
                     Retr("a.kta", size, {{"chunk", 16384}, {"delay_ms", 5}}),
                     {{"cmd", "DELE a.kta"}, {"reply", "250 Deleted"}, {"late", true}},
                     Step("QUIT", "221 Bye")}));
}

TEST_F(FTPThreadScripted, AbortAtEachStage) {
    struct Case {
        const char* trigger; // log line prefix, or "progress" for the first progress event
        Lines commands;      // after the login
        bool failure;        // OnFailure with an empty message
    } cases[] = {
        // The client is made after this line: the run finds the flag once connected.
        {"Connecting to FTP server", {"QUIT"}, false},
        {"Changing working directory", {"CWD /backups", "QUIT"}, false},
        {"Getting file size using the SIZE command", {"CWD /backups", "SIZE a.kta", "QUIT"}, false},
        {"Getting file size using the LIST command",
         {"CWD /backups", "SIZE a.kta", "PASV", "QUIT"},
         false},
        {"Starting FTP download of a.kta",
         {"CWD /backups", "SIZE a.kta", "PASV", "LIST", "TYPE I"},
         true},
        {"progress",
         {"CWD /backups", "SIZE a.kta", "PASV", "LIST", "TYPE I", "PASV", "RETR a.kta"},
         true},
        {"Deleting backup file from server",
         {"CWD /backups", "SIZE a.kta", "PASV", "LIST", "TYPE I", "PASV", "RETR a.kta",
          "DELE a.kta", "QUIT"},
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.trigger);
        const bool duringTransfer = std::string(c.trigger) == "progress";
        const std::size_t size = duringTransfer ? 50'000'000 : 100'000;
        Serve(onePartConversation(Listing("a.kta", size), size));
        auto definition = Definition(m_server->Port());
        definition.DeleteAfterDownload = true;
        Events events;
        auto worker = Make({"a.kta"}, events);
        worker->LoadSiteDefinition(definition);
        std::chrono::steady_clock::time_point abortedAt;
        auto abort = [&] {
            if (!worker->Aborted()) {
                abortedAt = std::chrono::steady_clock::now();
                worker->AbortDownload();
            }
        };
        m_onLog = [&](const std::string& line) {
            if (StartsWithNoCase(line, c.trigger))
                abort();
        };
        m_onProgress = [&](int64_t) {
            if (duringTransfer)
                abort();
        };
        Run(*worker);
        EXPECT_TRUE(worker->Aborted());
        if (duringTransfer) { // at once, not after the 50 MB trickled in
            EXPECT_LT(std::chrono::steady_clock::now() - abortedAt, 2s);
            EXPECT_EQ(events.log.back(), "Download aborted by user request");
        }
        EXPECT_TRUE(Contains(events.log, "Aborting backup"));
        EXPECT_EQ(events.complete, 0);
        EXPECT_EQ(events.failures, c.failure ? Lines{""} : Lines{});
        if (c.commands.empty()) {
            EXPECT_TRUE(m_server->Transcript().empty());
        } else {
            EXPECT_EQ(AfterLogin(), c.commands);
        }
        // Only a part that arrived whole bears its name.
        EXPECT_EQ(fs::exists(Downloads() / "a.kta"), Contains(c.commands, "DELE a.kta"));
        EXPECT_FALSE(fs::exists(Downloads() / "a.kta.part"));
        m_onLog = nullptr;
        m_onProgress = nullptr;
    }
}

TEST_F(FTPThreadScripted, AbortDuringLeadTimeEndsAtOnceWithoutConnecting) {
    Serve(LoginSteps());
    auto definition = Definition(m_server->Port());
    definition.DownloadLeadTime = 30;
    Events events;
    auto worker = Make({"a.kta"}, events);
    worker->LoadSiteDefinition(definition);
    std::chrono::steady_clock::time_point abortedAt;
    m_onLog = [&](const std::string& line) {
        if (line == "Applying lead time before downloading, 30 seconds") {
            abortedAt = std::chrono::steady_clock::now();
            worker->AbortDownload();
        }
    };
    Run(*worker);
    EXPECT_LT(std::chrono::steady_clock::now() - abortedAt, 500ms);
    EXPECT_EQ(events.log.back(), "Aborting backup");
    EXPECT_TRUE(events.failures.empty());
    EXPECT_EQ(events.complete, 0);
    EXPECT_TRUE(m_server->Transcript().empty());
}

TEST_F(FTPThreadScripted, WithoutSizeOrListingEntryTheSizeIsUnknown) {
    const std::size_t size = 300'000;
    Serve(Concat(LoginSteps(), json::array({Step("CWD /backups", "250 OK"),
                                            Step("SIZE a.kta", "502 No SIZE"),
                                            Pasv(),
                                            {{"cmd", "LIST"},
                                             {"reply", "150 Listing"},
                                             {"data", {{"text", Listing("other.kta", 5)}}}},
                                            Step("TYPE I", "200 Type I"),
                                            Pasv(),
                                            Retr("a.kta", size),
                                            Step("QUIT", "221 Bye")})));
    Events events;
    auto worker = Make({"a.kta"}, events);
    worker->LoadSiteDefinition(Definition(m_server->Port()));
    Run(*worker);
    EXPECT_EQ(events.complete, 1);
    ASSERT_FALSE(events.progress.empty());
    for (const auto& [done, total] : events.progress)
        EXPECT_EQ(total, -1);
    EXPECT_EQ(events.progress.back().first, static_cast<int64_t>(size));
    EXPECT_EQ(AfterLogin(), (Lines{"CWD /backups", "SIZE a.kta", "PASV", "LIST", "TYPE I", "PASV",
                                   "RETR a.kta", "QUIT"}));
}

TEST_F(FTPThreadScripted, EmptyFileListCompletesAfterChangingDirectory) {
    Serve(Concat(LoginSteps(),
                 json::array({Step("CWD /backups", "250 OK"), Step("QUIT", "221 Bye")})));
    Events events;
    auto worker = Make({}, events);
    worker->LoadSiteDefinition(Definition(m_server->Port()));
    Run(*worker);
    EXPECT_EQ(events.complete, 1);
    EXPECT_EQ(events.log.back(), "All done. Disconnecting from FTP server.");
    EXPECT_EQ(AfterLogin(), (Lines{"CWD /backups", "QUIT"}));
}

TEST_F(FTPThreadScripted, FailuresOfEachStage) {
    struct Case {
        const char* what;
        json steps; // after the login
        std::string logLine;
        std::string failureKey;
        Lines commands;
    } cases[] = {
        // (Keep-alive is on: every download sends one NOOP at its first chunk.)
        {"directory",
         json::array({Step("CWD /backups", "550 No such folder"), Step("QUIT", "221 Bye")}),
         "Could not change into directory: No such folder",
         "FTP_ERROR_CANTCHANGEDIR",
         {"CWD /backups", "QUIT"}},
        {"size: connection dropped",
         json::array({Step("CWD /backups", "250 OK"),
                      {{"cmd", "SIZE a.kta"}, {"reply", nullptr}, {"close", true}}}),
         "Could not get file size: Connection closed by the server",
         "FTP_ERROR_TRANSPORT",
         {"CWD /backups", "SIZE a.kta"}},
        {"listing",
         json::array({Step("CWD /backups", "250 OK"), Step("SIZE a.kta", "550 No"),
                      Step("PASV", "425 No passive mode today"), Step("QUIT", "221 Bye")}),
         "LIST failed: No passive mode today",
         "FTP_ERROR_TRANSPORT",
         {"CWD /backups", "SIZE a.kta", "PASV", "QUIT"}},
        {"download: keep-alive refused",
         json::array({Step("CWD /backups", "250 OK"),
                      Step("SIZE a.kta", "213 400000"),
                      Step("TYPE I", "200 Type I"),
                      Pasv(),
                      Retr("a.kta", 400'000, {{"hold_until", "NOOP"}, {"chunk", 50000}}),
                      Step("NOOP", "500 Not now"),
                      {{"cmd", "ABOR"}, {"reply", "225 No transfer"}, {"late", true}},
                      Step("QUIT", "221 Bye")}),
         "Download failed: Not now",
         "FTP_ERROR_TRANSPORT",
         {"CWD /backups", "SIZE a.kta", "TYPE I", "PASV", "RETR a.kta", "NOOP", "ABOR", "QUIT"}},
        {"download: fewer bytes than announced",
         json::array({Step("CWD /backups", "250 OK"),
                      Step("SIZE a.kta", "213 1000"),
                      Step("TYPE I", "200 Type I"),
                      Pasv(),
                      Retr("a.kta", 900),
                      {{"cmd", "NOOP"}, {"reply", "200 OK"}, {"late", true}},
                      Step("ABOR", "225 No transfer"),
                      Step("QUIT", "221 Bye")}),
         "Download failed: Incomplete download: the server announced 1000 bytes, 900 arrived",
         "FTP_ERROR_TRANSPORT",
         {"CWD /backups", "SIZE a.kta", "TYPE I", "PASV", "RETR a.kta", "NOOP", "ABOR", "QUIT"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Serve(Concat(LoginSteps(), c.steps));
        // An older complete download of the same name must survive a failed one.
        m_sandbox.WriteFile("downloads/a.kta", "older complete archive");
        auto definition = Definition(m_server->Port());
        definition.FTPKeepAlive = true;
        Events events;
        auto worker = Make({"a.kta"}, events);
        worker->LoadSiteDefinition(definition);
        Run(*worker);
        EXPECT_TRUE(Contains(events.log, c.logLine)) << ::testing::PrintToString(events.log);
        EXPECT_EQ(events.failures, Lines{Translate(c.failureKey)});
        EXPECT_EQ(events.complete, 0);
        EXPECT_EQ(AfterLogin(), c.commands);
        EXPECT_EQ(m_sandbox.ReadFile("downloads/a.kta"), "older complete archive");
        EXPECT_FALSE(fs::exists(Downloads() / "a.kta.part"));
    }
}

TEST_F(FTPThreadScripted, AFailedDeletionDoesNotStopTheOtherParts) {
    Serve(Concat(
        LoginSteps(),
        json::array({Step("CWD /backups", "250 OK"), Step("SIZE a.kta", "213 10"),
                     Step("TYPE I", "200 Type I"), Pasv(), Retr("a.kta", 10),
                     Step("DELE a.kta", "550 Permission denied"), Step("ABOR", "225 No transfer"),
                     Step("SIZE a.k01", "213 20"), Pasv(), Retr("a.k01", 20),
                     Step("DELE a.k01", "250 Deleted"), Step("QUIT", "221 Bye")})));
    auto definition = Definition(m_server->Port());
    definition.DeleteAfterDownload = true;
    Events events;
    auto worker = Make({"a.kta", "a.k01"}, events);
    worker->LoadSiteDefinition(definition);
    Run(*worker);
    EXPECT_TRUE(Contains(events.log, "Backup deletion failed: Permission denied"));
    EXPECT_TRUE(events.failures.empty());
    EXPECT_EQ(events.complete, 1);
    EXPECT_EQ(m_sandbox.ReadFile("downloads/a.k01"), test::PatternBytes(20));
    EXPECT_EQ(AfterLogin(),
              (Lines{"CWD /backups", "SIZE a.kta", "TYPE I", "PASV", "RETR a.kta", "DELE a.kta",
                     "ABOR", "SIZE a.k01", "PASV", "RETR a.k01", "DELE a.k01", "QUIT"}));
}

TEST_F(FTPThreadScripted, UnsafePartNamesAreRefusedBeforeConnecting) {
    for (const std::string name :
         {"../evil.kta", "sub/a.kta", "sub\\a.kta", ".", "..", "", "a.kta\r\nDELE index.php"}) {
        SCOPED_TRACE(name);
        // Nobody listens there: a connection attempt would fail differently.
        auto definition = Definition(test::FreeLoopbackPort());
        Events events;
        auto worker = Make({"good.kta", name}, events);
        worker->LoadSiteDefinition(definition);
        Run(*worker);
        EXPECT_EQ(events.failures, Lines{Translate("FTP_ERROR_UNSAFENAME")});
        EXPECT_EQ(events.log.back(),
                  "Refusing to download a file with an unsafe name: \"" + name + "\"");
        EXPECT_FALSE(Contains(events.log, "Connecting to FTP server"));
    }
    EXPECT_FALSE(fs::exists(m_sandbox.Path("evil.kta")));
}

TEST_F(FTPThreadScripted, CreatesAMissingDownloadFolderOrFailsWithTheReason) {
    Serve(Concat(LoginSteps(),
                 json::array({Step("CWD /backups", "250 OK"), Step("SIZE a.kta", "213 10"),
                              Step("TYPE I", "200 Type I"), Pasv(), Retr("a.kta", 10),
                              Step("QUIT", "221 Bye")})));
    auto definition = Definition(m_server->Port());
    definition.DownloadDirectory = m_sandbox.Path("new/deeper").string();
    Events events;
    auto worker = Make({"a.kta"}, events);
    worker->LoadSiteDefinition(definition);
    Run(*worker);
    EXPECT_TRUE(
        Contains(events.log, "Creating the download folder " + definition.DownloadDirectory));
    EXPECT_EQ(events.complete, 1);
    EXPECT_EQ(m_sandbox.ReadFile("new/deeper/a.kta"), test::PatternBytes(10));

    m_sandbox.WriteFile("plain-file", "x");
    definition.DownloadDirectory = m_sandbox.Path("plain-file/sub").string();
    Events failed;
    auto blocked = Make({"a.kta"}, failed);
    blocked->LoadSiteDefinition(definition);
    Run(*blocked);
    ASSERT_EQ(failed.failures.size(), 1u);
    const std::string reason = std::make_error_code(std::errc::not_a_directory).message();
    EXPECT_EQ(failed.failures[0],
              FormatTemplate(Translate("FTP_ERROR_CANTCREATEFOLDER"), {reason}));
    EXPECT_EQ(failed.log.back(), "Could not create the download folder: " + reason);
}

} // namespace
} // namespace tlv
