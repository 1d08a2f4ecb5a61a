// tolvane-cli's commands on the site list, driven as a user drives them: add (with the
// connection probe), show, set, delete, pin, options, and what bad input gets.

#include "cli/CliFixture.h"
#include "common/TestCertificates.h"
#include "storage/SQLite.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace tlv::test {
namespace {

TEST_F(CliTest, AddRunsTheProbeOnTheTypedPortAndStoresTheEndpointItFound) {
    StartPeers({"--path", "/xmlrpc/index.php"});
    const std::string address = "http://127.0.0.1:" + std::to_string(server->Port()) + "/";
    const CliResult added = Cli({"add",
                                 "--name",
                                 "alpha",
                                 "--url",
                                 address,
                                 "--user",
                                 XmlRpcPeer::User(),
                                 "--password",
                                 XmlRpcPeer::Password(),
                                 "--ftp-host",
                                 "127.0.0.1",
                                 "--ftp-port",
                                 std::to_string(ftp->Port()),
                                 "--ftp-user",
                                 kFtpUser,
                                 "--ftp-password",
                                 kFtpPassword,
                                 "--ftp-dir",
                                 "/backups",
                                 "--delete-after-download"});
    ASSERT_EQ(added.ExitCode, 0) << added.Err;
    EXPECT_EQ(added.Out, "1\n");
    ExpectNoSecrets(added);

    // Reached through the port typed, not the scheme's port 80: the address checks, then the
    // plug-in and the login.
    std::vector<std::string> requests;
    for (const RecordedRequest& r : server->Requests())
        requests.push_back(r.Method + " " + r.Path + (r.Call.empty() ? "" : " " + r.Call));
    EXPECT_EQ(requests, (std::vector<std::string>{"GET /", "GET /", "GET /xmlrpc/index.php",
                                                  "POST /xmlrpc/index.php keltro.getAPI",
                                                  "POST /xmlrpc/index.php keltro.getProfiles"}));

    const nlohmann::json site = Show("alpha");
    EXPECT_EQ(site["SiteID"], 1);
    EXPECT_EQ(site["URL"], "127.0.0.1/xmlrpc/index.php");
    EXPECT_EQ(site["Port"], server->Port());
    EXPECT_EQ(site["UseSSL"], false);
    EXPECT_EQ(site["Profile"], 1);
    EXPECT_EQ(site["Password"], "****");
    EXPECT_EQ(site["FTPPassword"], "****");
    EXPECT_EQ(site["FTPPort"], ftp->Port());
    EXPECT_EQ(site["FTPInitialDirectory"], "/backups");
    EXPECT_EQ(site["DownloadWhenDone"], true);
    EXPECT_EQ(site["DownloadLogOnFailure"], true);
    EXPECT_EQ(site["DeleteAfterDownload"], true);
    // Without --download-dir the archives come to the folder the command ran in.
    EXPECT_EQ(fs::path(site["DownloadDirectory"].get<std::string>()), sandbox.Root());
    EXPECT_EQ(site["CertificateSignature"], "");

    const CliResult text = Cli({"show", "1"});
    EXPECT_NE(text.Out.find("URL:                  127.0.0.1/xmlrpc/index.php\n"),
              std::string::npos)
        << text.Out;
    ExpectNoSecrets(text);
}

TEST_F(CliTest, AFailedProbeStoresNothingAndSaysWhy) {
    StartPeers({"--path", "/xmlrpc/index.php", "--fault", "keltro.getAPI:-32601:Unknown method"});
    const std::string live = "http://127.0.0.1:" + std::to_string(server->Port());
    const std::string dead = "http://127.0.0.1:" + std::to_string(FreeLoopbackPort());
    struct Case {
        std::string name, url, key;
        int exitCode;
    } cases[] = {
        {" ", "http://www.example.com", "ERR_NS_NONAMEGIVEN", 2},
        {"alpha", "ftp://127.0.0.1/", "ERR_NS_INVALIDPROTOCOL", 2},
        {"alpha", dead, "ERR_NS_OP_CHECKCONNECT", 1},
        {"alpha", live + "/nothing/here", "ERR_NS_OP_CHECKXMLRPC", 1},
        {"alpha", live, "ERR_NS_OP_CHECKPLUGIN", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        const CliResult result = Cli({"add", "--name", c.name, "--url", c.url, "--user", "admin",
                                      "--password", XmlRpcPeer::Password()});
        EXPECT_EQ(result.ExitCode, c.exitCode);
        EXPECT_EQ(result.Out, "");
        EXPECT_EQ(result.Err.rfind("tolvane-cli: " + Text(c.key), 0), 0u) << result.Err;
        EXPECT_EQ(std::count(result.Err.begin(), result.Err.end(), '\n'), 1) << result.Err;
        ExpectNoSecrets(result);
    }
    EXPECT_EQ(Cli({"--json", "sites"}).Out, "[]\n");
}

TEST_F(CliTest, SetChangesFieldsByNameAndDeleteRemovesTheSite) {
    StartPeers();
    AddSite("alpha");
    AddSite("beta");
    const CliResult set =
        Cli({"set", "alpha", "Throttling=2", "scheduleenabled=true", "ScheduleFrequency=weekly",
             "StartDate=2024-03-04", "StartTime=02:30", "Password=n3w-s3cret-pass"});
    ASSERT_EQ(set.ExitCode, 0) << set.Err;
    const nlohmann::json site = Show("alpha");
    EXPECT_EQ(site["Throttling"], 2);
    EXPECT_EQ(site["ScheduleEnabled"], true);
    EXPECT_EQ(site["ScheduleFrequency"], "weekly");
    EXPECT_EQ(site["StartDate"], "2024-03-04 00:00:00");
    EXPECT_EQ(site["StartTime"], "1899-12-30 02:30:00");
    EXPECT_EQ(site["Password"], "****");

    const CliResult list = Cli({"--json", "sites"});
    const nlohmann::json sites = nlohmann::json::parse(list.Out);
    ASSERT_EQ(sites.size(), 2u);
    EXPECT_EQ(sites[0]["name"], "alpha");
    EXPECT_EQ(sites[0]["status"], "Idle");
    EXPECT_EQ(sites[0]["lastBackup"], "2000-01-01 00:00:00");
    EXPECT_NE(sites[0]["schedule"], Text("TXT_SCHEDULENEVER"));
    EXPECT_EQ(sites[1]["schedule"], Text("TXT_SCHEDULENEVER"));
    EXPECT_EQ(list.Out.find("n3w-s3cret-pass"), std::string::npos);

    ASSERT_EQ(Cli({"delete", "alpha"}).ExitCode, 0);
    const nlohmann::json left = nlohmann::json::parse(Cli({"--json", "sites"}).Out);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0]["name"], "beta");
}

TEST_F(CliTest, BadInputGetsOneLineAndItsExitStatusAndLeavesTheDatabaseAlone) {
    StartPeers();
    AddSite("alpha");
    const std::string before = ReadFileText(database);
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string error; // the start of stderr's first line after "tolvane-cli: "
        bool usage;        // followed by the short usage text
    } cases[] = {
        {{"show", "nope"}, 2, "unknown site: nope", false},
        {{"set", "alpha", "Bogus=1"}, 2, "unknown field: Bogus", false},
        {{"set", "alpha", "Throttling=2", "Port=eighty"}, 2, "invalid value for Port", false},
        {{"set", "alpha", "Port=0"}, 2, "invalid value for Port", false},
        {{"set", "alpha", "SiteID=7"}, 2, "SiteID cannot be changed", false},
        {{"set", "alpha", "Throttling"}, 2, "expected FIELD=VALUE", false},
        {{"set", "alpha", "StartDate=31.12.2024"}, 2, "invalid value for StartDate", false},
        {{"delete", "2"}, 2, "unknown site: 2", false},
        {{"pin", "alpha"}, 2, "site \"alpha\" does not use HTTPS", false},
        {{"download", "nope", "1"}, 2, "unknown site: nope", false},
        {{"options", "Bogus"}, 2, "unknown option: Bogus", false},
        {{"options", "BackupQueueSize", "many"}, 2, "invalid value for BackupQueueSize", false},
        {{"options", "Language", "klingon"}, 2, "no language file \"klingon.ini\"", false},
        {{"backup"}, 2, "backup needs SITE... or --all", true},
        {{"add", "--name", "x", "--user", "u", "--password", "p"}, 2, "--url is required", true},
        {{"download", "alpha", "first"}, 2, "", true},
        {{"frobnicate"}, 2, "", true},
        {{}, 2, "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "(none)" : c.args.front());
        const CliResult result = Cli(c.args);
        EXPECT_EQ(result.ExitCode, c.exitCode) << result.Err;
        EXPECT_EQ(result.Out, "");
        const std::string firstLine = result.Err.substr(0, result.Err.find('\n'));
        EXPECT_EQ(firstLine.rfind("tolvane-cli: " + c.error, 0), 0u) << result.Err;
        EXPECT_EQ(result.Err.find("Usage: tolvane-cli") != std::string::npos, c.usage)
            << result.Err;
        if (!c.usage) {
            EXPECT_EQ(std::count(result.Err.begin(), result.Err.end(), '\n'), 1) << result.Err;
        }
    }
    EXPECT_EQ(ReadFileText(database), before);
}

TEST_F(CliTest, ADatabaseThatIsNotOursIsRefusedUntouched) {
    sandbox.WriteFile("notes.txt", "not a database at all\n");
    {
        TSQLiteDatabase other(sandbox.Path("other.sqlite").string(),
                              TSQLiteDatabase::OpenMode::CreateNew);
        other.ExecSQL("CREATE TABLE [Sites] ([Id] INTEGER)");
    }
    fs::create_directories(sandbox.Path("folder"));
    for (const char* file : {"notes.txt", "other.sqlite", "folder"}) {
        SCOPED_TRACE(file);
        const fs::path path = sandbox.Path(file);
        const std::string before = fs::is_regular_file(path) ? ReadFileText(path) : "";
        const CliResult result = RunCli(sandbox.Root(), {"--db", path.string(), "sites"});
        EXPECT_EQ(result.ExitCode, 3);
        EXPECT_EQ(result.Out, "");
        EXPECT_EQ(result.Err.rfind("tolvane-cli: ", 0), 0u);
        EXPECT_NE(result.Err.find(path.string()), std::string::npos) << result.Err;
        EXPECT_EQ(std::count(result.Err.begin(), result.Err.end(), '\n'), 1) << result.Err;
        if (fs::is_regular_file(path)) {
            EXPECT_EQ(ReadFileText(path), before);
        }
    }
    // A file that is missing is created with the schema.
    const CliResult fresh = RunCli(sandbox.Root(), {"--db", "new/tlv.sqlite", "sites"});
    EXPECT_EQ(fresh.ExitCode, 0) << fresh.Err;
    EXPECT_TRUE(fs::exists(sandbox.Path("new/tlv.sqlite")));
}

TEST_F(CliTest, PinShowsTheCertificateAndStoresItsSignatureOnlyWhenTrusted) {
    const TestCertificate certificate = MakeSelfSignedCertificate(sandbox.Path("certs"));
    server = std::make_unique<XmlRpcPeer>(
        sandbox.Path("xmlrpc"),
        std::vector<std::string>{"--cert", certificate.CertFile, "--key", certificate.KeyFile});
    const std::string address =
        "https://127.0.0.1:" + std::to_string(server->Port()) + XmlRpcPeer::Path();
    ASSERT_EQ(Cli({"add", "--name", "secure", "--url", address, "--user", XmlRpcPeer::User(),
                   "--password", XmlRpcPeer::Password(), "--no-probe"})
                  .ExitCode,
              0);
    const std::string signature = OpenSslSignatureText(certificate.LeafFile);

    const CliResult declined = Cli({"pin", "secure"}, "n\n");
    EXPECT_EQ(declined.ExitCode, 1);
    EXPECT_NE(declined.Out.find(Text("LBL_CERTIFICATESIGNATURE") + ": " + signature),
              std::string::npos)
        << declined.Out;
    EXPECT_NE(declined.Out.find(Text("LBL_DOYOUTRUST") + " [y/N]"), std::string::npos);
    EXPECT_EQ(declined.Err.rfind("tolvane-cli: secure: ", 0), 0u) << declined.Err;
    EXPECT_EQ(Show("secure")["CertificateSignature"], "");

    // Without a pin the site's calls are refused.
    EXPECT_EQ(Cli({"backups", "secure"}).ExitCode, 1);

    const CliResult pinned = Cli({"pin", "secure", "--yes"});
    ASSERT_EQ(pinned.ExitCode, 0) << pinned.Err;
    EXPECT_NE(pinned.Out.find(Text("LBL_SUBJECT") + ": /CN=127.0.0.1\n"), std::string::npos)
        << pinned.Out;
    EXPECT_NE(pinned.Out.find(Text("LBL_ISSUER") + ": /CN=127.0.0.1\n"), std::string::npos);
    EXPECT_NE(pinned.Out.find(Text("LBL_MD5") + ": "), std::string::npos);
    EXPECT_NE(pinned.Out.find(Text("LBL_SERIALNUMBER") + ": "), std::string::npos);
    EXPECT_EQ(Show("secure")["CertificateSignature"], signature);

    // The pinned site now talks to its server.
    const CliResult listed = Cli({"--json", "backups", "secure"});
    EXPECT_EQ(listed.ExitCode, 0) << listed.Err;
    ExpectNoSecrets(listed);
}

TEST_F(CliTest, OptionsAreReadWithTheirDefaultsAndWrittenInTheirStoredForm) {
    EXPECT_EQ(Cli({"options", "BackupQueueSize"}).Out, "2\n");
    ASSERT_EQ(Cli({"options", "backupqueuesize", "4"}).ExitCode, 0);
    ASSERT_EQ(Cli({"options", "CloseToTray", "true"}).ExitCode, 0);
    EXPECT_EQ(Cli({"options", "BackupQueueSize"}).Out, "4\n");
    EXPECT_EQ(Cli({"options"}).Out, "Language=english\nMinimizeTray=0\nCloseToTray=-1\n"
                                    "BackupQueueSize=4\nDownloadQueueSize=2\n");
}

} // namespace
} // namespace tlv::test
