// The download worker against real servers: pyftpdlib (plain FTP) and vsftpd (implicit TLS).
#include "WorkerHarness.h"
#include "common/FtpServers.h"
#include "common/HttpProxy.h"
#include "storage/Paths.h"

#include <fstream>
#include <random>

namespace tlv {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

std::string randomBytes(std::size_t count, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(count, '\0');
    for (auto& b : bytes)
        b = static_cast<char>(random());
    return bytes;
}

struct Part {
    std::string name;
    std::string content;
};

const std::vector<Part>& parts() {
    static const std::vector<Part> p = {{"site.kta", randomBytes(3'000'000, 1)},
                                        {"site.k01", randomBytes(1'048'576, 2)},
                                        {"site.k02", randomBytes(12'345, 3)}};
    return p;
}

Lines names() {
    Lines n;
    for (const auto& part : parts())
        n.push_back(part.name);
    return n;
}

class FTPThreadServers : public test::WorkerHarness {
protected:
    // pyftpdlib with the parts in /backups of its root.
    test::PyFtpServer& StartPyFtp() {
        for (const auto& part : parts())
            m_sandbox.WriteFile("ftproot/backups/" + part.name, part.content);
        m_pyftp = std::make_unique<test::PyFtpServer>(m_sandbox.Path("pyftpd"),
                                                      m_sandbox.Path("ftproot"), "bob", "secret");
        return *m_pyftp;
    }

    fs::path Remote(const std::string& name) const {
        return m_sandbox.Path("ftproot/backups/" + name);
    }

    void ExpectDownloaded(const Events& events) {
        for (const auto& part : parts()) {
            EXPECT_TRUE(m_sandbox.ReadFile("downloads/" + part.name) == part.content) << part.name;
            const auto size = static_cast<int64_t>(part.content.size());
            EXPECT_TRUE(std::find(events.progress.begin(), events.progress.end(),
                                  std::make_pair(size, size)) != events.progress.end())
                << part.name << ": no final progress event with the known size";
        }
        EXPECT_EQ(events.complete, 1);
        EXPECT_TRUE(events.failures.empty())
            << ::testing::PrintToString(events.failures) << ::testing::PrintToString(events.log);
    }

    std::unique_ptr<test::PyFtpServer> m_pyftp;
};

TEST_F(FTPThreadServers, MultipartPassiveWithKeepAliveAndDeletion) {
    auto& server = StartPyFtp();
    auto definition = Definition(server.Port());
    definition.FTPKeepAlive = true;
    definition.DeleteAfterDownload = true;
    Events events;
    auto worker = Make(names(), events);
    worker->LoadSiteDefinition(definition);
    Run(*worker);

    ExpectDownloaded(events);
    for (const auto& part : parts())
        EXPECT_FALSE(fs::exists(Remote(part.name))) << part.name;
    // pyftpdlib refuses SIZE in ASCII mode, which the session is in until the first RETR: the
    // first part's size comes from the listing.
    Lines expected = {"Initializing FTP download from site definition",
                      "FTP Server / Port 127.0.0.1 / " + std::to_string(server.Port()),
                      "Using FTP Passive mode",
                      "Keep Alive is enabled; NOOP will be sent every 10 seconds.",
                      "Downloaded file will be written to " + Downloads().string(),
                      "Connecting to FTP server",
                      "Changing working directory to backup output directory, /backups"};
    for (std::size_t i = 0; i < parts().size(); ++i) {
        const std::string& name = parts()[i].name;
        expected.push_back("Preparing to download part " + std::to_string(i + 1) + " (" + name +
                           ")");
        expected.push_back("Getting file size using the SIZE command");
        if (i == 0)
            expected.push_back("Getting file size using the LIST command");
        expected.push_back("Starting FTP download of " + name);
        expected.push_back("Sending NOOP (connection keep-alive) command");
        expected.push_back("Deleting backup file from server");
    }
    expected.push_back("All done. Disconnecting from FTP server.");
    EXPECT_EQ(events.log, expected);
}

TEST_F(FTPThreadServers, MultipartActiveWithLeadTimeReplacingOlderFiles) {
    auto& server = StartPyFtp();
    m_sandbox.WriteFile("downloads/site.k01", std::string(5'000'000, 'x'));
    auto definition = Definition(server.Port());
    definition.FTPActiveMode = true;
    definition.DownloadLeadTime = 1;
    Events events;
    auto worker = Make(names(), events);
    worker->LoadSiteDefinition(definition);
    const auto start = std::chrono::steady_clock::now();
    Run(*worker);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1s);

    ExpectDownloaded(events);
    for (const auto& part : parts())
        EXPECT_TRUE(fs::exists(Remote(part.name))) << part.name;
    EXPECT_TRUE(Contains(events.log, "Using FTP Active mode"));
    EXPECT_TRUE(Contains(events.log, "Applying lead time before downloading, 1 seconds"));
    EXPECT_FALSE(Contains(events.log, "Sending NOOP (connection keep-alive) command"));
}

TEST_F(FTPThreadServers, LogModeFetchesTheServerLogAsText) {
    m_sandbox.WriteFile("ftproot/backups/keltro.log", "line one\nline two\n");
    auto& server = StartPyFtp();
    auto definition = Definition(server.Port());
    definition.DownloadLeadTime = 5;       // not applied in log mode
    definition.DeleteAfterDownload = true; // nor is this
    Events events;
    auto worker = Make({"site.kta", "site.k01"}, events, true);
    worker->LoadSiteDefinition(definition);
    Run(*worker);
    EXPECT_EQ(events.complete, 1);
    EXPECT_EQ(m_sandbox.ReadFile("downloads/site.kta.log"), "line one\nline two\n");
    EXPECT_TRUE(fs::exists(Remote("keltro.log")));
    EXPECT_TRUE(Contains(events.log, "Starting FTP download of log file (keltro.log)"));
    EXPECT_FALSE(Contains(events.log, "Preparing to download part 1 (site.kta)"));
    EXPECT_FALSE(Contains(events.log, "Applying lead time before downloading, 5 seconds"));
    EXPECT_FALSE(fs::exists(Downloads() / "site.k01.log"));
}

TEST_F(FTPThreadServers, ImplicitTlsMultipartFromVsftpd) {
    if (!test::VsftpdServer::CanRun())
        GTEST_SKIP() << "vsftpd needs root and its \"ftp\" user";
    test::VsftpdServer server(m_sandbox.Path("vsftpd"));
    for (const auto& part : parts()) {
        const auto file = server.Backups() / part.name;
        std::ofstream(file, std::ios::binary) << part.content;
        server.Share(file);
    }
    auto definition = Definition(server.Port());
    definition.FTPUsername = "anonymous";
    definition.FTPPassword = "tolvane@example.com";
    definition.FTPUseSSL = true;
    definition.FTPActiveMode = true; // TLS always runs passive
    definition.FTPKeepAlive = true;
    definition.DeleteAfterDownload = true;
    Events events;
    auto worker = Make(names(), events);
    worker->LoadSiteDefinition(definition);
    Run(*worker);

    ExpectDownloaded(events);
    for (const auto& part : parts())
        EXPECT_FALSE(fs::exists(server.Backups() / part.name)) << part.name;
    EXPECT_TRUE(Contains(events.log, "Using secure FTP connection over SSL"));
    EXPECT_TRUE(Contains(events.log, "Using FTP Passive mode"));
}

TEST_F(FTPThreadServers, HttpProxyWithFtpTunnelsTheDownload) {
    auto& server = StartPyFtp();
    test::HttpProxy proxy(m_sandbox.Path("proxy"));
    auto definition = Definition(server.Port());
    definition.FPType = TFTPProxyType::HttpProxyWithFtp;
    definition.FPHost = "127.0.0.1";
    definition.FPPort = proxy.Port();
    Events events;
    auto worker = Make(names(), events);
    worker->LoadSiteDefinition(definition);
    Run(*worker);
    ExpectDownloaded(events);
    EXPECT_TRUE(Contains(events.log, "Using an FTP proxy"));
    EXPECT_NE(proxy.Log().find("CONNECT 127.0.0.1:" + std::to_string(server.Port())),
              std::string::npos);
}

TEST_F(FTPThreadServers, LoadSiteDefinitionSettings) {
    struct Case {
        bool ssl;
        bool active;
        int port;
        uint16_t connectPort;
        bool passive;
    } cases[] = {{true, false, 21, 990, true},
                 {true, true, 2121, 2121, true},
                 {false, true, 21, 21, false},
                 {false, false, 70000, 70000 & 0xFFFF, true}};
    for (const auto& c : cases) {
        auto definition = Definition(c.port);
        definition.FTPUseSSL = c.ssl;
        definition.FTPActiveMode = c.active;
        Events events;
        auto worker = Make({"a.kta"}, events);
        worker->LoadSiteDefinition(definition);
        EXPECT_EQ(worker->Settings().Port, c.connectPort);
        EXPECT_EQ(worker->Settings().Passive, c.passive);
        EXPECT_EQ(worker->Settings().ImplicitTLS, c.ssl);
        EXPECT_EQ(events.log[1], "FTP Server / Port 127.0.0.1 / " + std::to_string(c.port));
        EXPECT_EQ(Contains(events.log, "Using secure FTP connection over SSL"), c.ssl);
        EXPECT_TRUE(
            Contains(events.log, c.passive ? "Using FTP Passive mode" : "Using FTP Active mode"));
    }

    // Portable mode: a relative folder lies under the program's folder.
    m_sandbox.WriteFile("tolvane.ini", "[Global]\nPortable=1\n");
    ASSERT_TRUE(IsPortableMode());
    auto definition = Definition(21);
    definition.DownloadDirectory = "archives";
    Events events;
    auto worker = Make({"a.kta"}, events);
    worker->LoadSiteDefinition(definition);
    EXPECT_EQ(worker->LocalDirectory(), (m_sandbox.Root() / "archives").generic_string());
    EXPECT_EQ(events.log.back(), "Downloaded file will be written to " +
                                     (m_sandbox.Root() / "archives").generic_string());
}

} // namespace
} // namespace tlv
