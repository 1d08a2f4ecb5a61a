#include "FtpScript.h"
#include "common/FtpServers.h"
#include "common/HttpProxy.h"
#include "common/Sandbox.h"
#include "download/FtpClient.h"
#include "download/FtpError.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

namespace tlv {
namespace {

using namespace std::chrono_literals;
using namespace test::ftpscript;
using test::ScriptedFtpServer;
using Lines = std::vector<std::string>;

Lines concat(Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class FtpClientTest : public ::testing::Test {
protected:
    ScriptedFtpServer& Serve(const json& steps) { return ServeScript(Script(steps)); }

    // One list of steps per control connection, in order.
    ScriptedFtpServer& ServeSessions(const json& sessions) {
        json script = {{"sessions", json::array()}};
        for (const auto& steps : sessions)
            script["sessions"].push_back(Script(steps));
        return ServeScript(script);
    }

    ScriptedFtpServer& ServeScript(const json& script) {
        m_server.reset();
        m_server = std::make_unique<ScriptedFtpServer>(
            m_sandbox.Path("scripted" + std::to_string(++m_servers)), script.dump());
        return *m_server;
    }

    TFtpSettings Settings() const {
        TFtpSettings s;
        s.Host = "127.0.0.1";
        s.Port = static_cast<uint16_t>(m_server->Port());
        s.Username = "bob";
        s.Password = "secret";
        s.ConnectTimeout = 5s;
        s.ReplyTimeout = 2s;
        return s;
    }

    // Waits until the server has seen the whole expected conversation, then compares it.
    void ExpectTranscript(const Lines& expected) {
        m_server->WaitForCommands(expected.size(), 5s);
        EXPECT_EQ(m_server->Transcript(), expected);
    }

    test::Sandbox m_sandbox;
    std::unique_ptr<ScriptedFtpServer> m_server;
    int m_servers = 0;
};

TEST_F(FtpClientTest, LogsInIdentifiesAndNavigates) {
    Serve(Concat(LoginSteps(),
                 json::array({Step("CWD /backups", "250 OK"),
                              Step("PWD", "257 \"/backups/say \"\"hi\"\"\" is current"),
                              Step("CWD missing", "550 No such folder"),
                              Step("SIZE a.kta", "213 3000000"), Step("SIZE b.kta", "550 Nope"),
                              Step("SIZE c.kta", "213 lots"), Step("NOOP", "200 OK"),
                              Step("DELE a.kta", "250 Deleted"), Step("QUIT", "221 Bye")})));
    FtpClient client(Settings());
    client.Connect();
    EXPECT_TRUE(client.Connected());
    EXPECT_EQ(client.Features(), (Lines{"CLNT", "SIZE", "PASV"}));
    client.ChangeDir("/backups");
    EXPECT_EQ(client.PrintWorkingDir(), "/backups/say \"hi\"");
    try {
        client.ChangeDir("missing");
        ADD_FAILURE() << "CWD must fail";
    } catch (const EFtpError& e) {
        EXPECT_EQ(e.Code(), 550);
        EXPECT_STREQ(e.what(), "No such folder");
    }
    EXPECT_EQ(client.Size("a.kta"), 3000000);
    EXPECT_EQ(client.Size("b.kta"), -1);
    EXPECT_EQ(client.Size("c.kta"), -1);
    client.Noop();
    client.Delete("a.kta");
    client.Quit(1s);
    EXPECT_FALSE(client.Connected());
    ExpectTranscript(
        concat(LoginTranscript(), {"CWD /backups", "PWD", "CWD missing", "SIZE a.kta", "SIZE b.kta",
                                   "SIZE c.kta", "NOOP", "DELE a.kta", "QUIT"}));
}

TEST_F(FtpClientTest, AnswersAccountRequestsAndSkipsClntWhenNotOffered) {
    Serve(json::array({Step("USER bob@ftp.example.com fw", "331 Password required"),
                       Step("PASS secret", "332 Account required"),
                       Step("ACCT fwpw", "230 Logged in"), Step("FEAT", "500 Unknown command"),
                       Step("TYPE A", "200 Type A")}));
    // UserHostFireWallID is the login whose firewall password goes out as the account.
    auto settings = Settings();
    settings.Host = "ftp.example.com";
    settings.Port = 21;
    settings.ProxyType = TFTPProxyType::UserHostFireWallID;
    settings.ProxyHost = "127.0.0.1";
    settings.ProxyPort = static_cast<uint16_t>(m_server->Port());
    settings.ProxyUsername = "fw";
    settings.ProxyPassword = "fwpw";
    FtpClient client(settings);
    client.Connect();
    EXPECT_TRUE(client.Features().empty());
    ExpectTranscript({"USER bob@ftp.example.com fw", "PASS secret", "ACCT fwpw", "FEAT", "TYPE A"});
}

TEST_F(FtpClientTest, ConnectFailuresCarryTheServersWords) {
    struct Case {
        json script;
        std::string message;
    } cases[] = {
        {json{{"greeting", "421 Too many users"}, {"steps", json::array()}}, "Too many users"},
        {Script(json::array({Step("USER bob", "331 Password required"),
                             Step("PASS secret", "530 Login incorrect.")})),
         "Login incorrect."},
    };
    for (const auto& c : cases) {
        ServeScript(c.script);
        FtpClient client(Settings());
        try {
            client.Connect();
            ADD_FAILURE() << "connect must fail";
        } catch (const EFtpError& e) {
            EXPECT_EQ(e.what(), c.message);
        }
        EXPECT_FALSE(client.Connected());
    }

    // Nobody listening.
    TFtpSettings nobody;
    nobody.Host = "127.0.0.1";
    nobody.Port = static_cast<uint16_t>(test::FreeLoopbackPort());
    FtpClient client(nobody);
    EXPECT_THROW(client.Connect(), EFtpError);
}

TEST_F(FtpClientTest, RetrievesPassiveAndActive) {
    const std::size_t size = 1'500'000;
    ServeSessions(json::array(
        {Concat(LoginSteps(),
                json::array({Step("TYPE I", "200 Type I"),
                             Pasv(),
                             Retr("a.kta", size),
                             // A server behind NAT that announces no usable address.
                             {{"cmd", "PASV"}, {"pasv", true}, {"pasv_address", "0,0,0,0"}},
                             Retr("c.kta", 1000)})),
         Concat(LoginSteps(), json::array({{{"cmd_re", "PORT 127,0,0,1,\\d+,\\d+"}, {"port", true}},
                                           Retr("b.kta", size, {{"chunk", 100000}})}))}));

    std::string received;
    auto sink = [&](const char* data, std::size_t n) { received.append(data, n); };
    {
        FtpClient client(Settings());
        client.Connect();
        client.SetTransferType(TFtpTransferType::Binary);
        client.SetTransferType(TFtpTransferType::Binary); // no second TYPE
        std::vector<int64_t> work;
        client.Retrieve("a.kta", sink, [&](int64_t done) { work.push_back(done); });
        EXPECT_EQ(received, test::PatternBytes(size));
        ASSERT_FALSE(work.empty());
        EXPECT_TRUE(std::is_sorted(work.begin(), work.end()));
        EXPECT_EQ(work.back(), static_cast<int64_t>(size));

        received.clear();
        client.Retrieve("c.kta", sink);
        EXPECT_EQ(received, test::PatternBytes(1000));
    }
    auto active = Settings();
    active.Passive = false;
    FtpClient client(active);
    client.Connect();
    received.clear();
    client.Retrieve("b.kta", sink);
    EXPECT_EQ(received, test::PatternBytes(size));
    auto transcript = m_server->Transcript();
    ASSERT_EQ(transcript.size(), 17u);
    EXPECT_EQ(Lines(transcript.begin() + 5, transcript.begin() + 11),
              (Lines{"TYPE I", "PASV", "RETR a.kta", "PASV", "RETR c.kta", "USER bob"}));
    EXPECT_EQ(transcript[16], "RETR b.kta");
}

TEST_F(FtpClientTest, ListsTheCurrentFolder) {
    const std::string listing = "total 2\r\n"
                                "drwxr-xr-x 2 u g 4096 Jan 1 12:00 sub folder\r\n"
                                "-rw-r--r-- 1 u g 123 Jan 1 12:00 a.kta\r\n";
    Serve(Concat(LoginSteps(), json::array({Pasv(),
                                            {{"cmd", "LIST"},
                                             {"reply", "150 Here it comes"},
                                             {"data", {{"text", listing}}}},
                                            Step("LIST", "226 Nothing to list")})));
    FtpClient client(Settings());
    client.Connect();
    auto entries = client.List();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].Name, "sub folder");
    EXPECT_TRUE(entries[0].IsDirectory);
    EXPECT_EQ(entries[1].Size, 123);
}

TEST_F(FtpClientTest, KeepAliveRepliesAreMatchedWhenTheyCome) {
    struct Case {
        const char* what;
        json noopStep;
        json dataOptions;
        std::string failure; // empty: the transfer succeeds
    } cases[] = {
        {"answered during the transfer",
         Step("NOOP", "200 OK"),
         {{"hold_until", "NOOP"}, {"chunk", 50000}},
         ""},
        {"answered after the transfer's reply",
         {{"cmd", "NOOP"}, {"reply", "200 OK"}, {"late", true}},
         {{"chunk", 50000}, {"delay_ms", 20}},
         ""},
        {"answered with an error",
         Step("NOOP", "500 Not now"),
         {{"hold_until", "NOOP"}, {"chunk", 50000}},
         "Not now"},
        {"answered with an error late",
         {{"cmd", "NOOP"}, {"reply", "502 No NOOP here"}, {"late", true}},
         {{"chunk", 50000}},
         "No NOOP here"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::size_t size = 400'000;
        Serve(Concat(LoginSteps(), json::array({Step("TYPE I", "200 Type I"), Pasv(),
                                                Retr("a.kta", size, c.dataOptions), c.noopStep,
                                                Step("NOOP", "200 Still here")})));
        FtpClient client(Settings());
        client.Connect();
        client.SetTransferType(TFtpTransferType::Binary);
        std::string received;
        bool sent = false;
        auto retrieve = [&] {
            client.Retrieve(
                "a.kta", [&](const char* data, std::size_t n) { received.append(data, n); },
                [&](int64_t) {
                    if (!std::exchange(sent, true))
                        client.Noop();
                });
        };
        if (c.failure.empty()) {
            retrieve();
            EXPECT_EQ(received, test::PatternBytes(size));
            client.Noop(); // the control connection is still in step
        } else {
            try {
                retrieve();
                ADD_FAILURE() << "the transfer must fail";
            } catch (const EFtpError& e) {
                EXPECT_EQ(e.what(), c.failure);
            }
        }
    }
}

TEST_F(FtpClientTest, ADroppedTransferFailsAndAbortSkipsItsLateReply) {
    Serve(Concat(
        LoginSteps(),
        json::array({Step("TYPE I", "200 Type I"),
                     Pasv(),
                     {{"cmd", "RETR a.kta"},
                      {"reply", "150 Opening"},
                      {"data", {{"size", 1'000'000}, {"drop_after", 300'000}}},
                      {"final", "426 Connection closed; transfer aborted"}},
                     // As real servers do, the transfer's reply goes out first.
                     {{"cmd", "ABOR"}, {"reply", "225 No transfer to abort"}, {"late", true}},
                     Step("NOOP", "200 OK"),
                     Step("QUIT", "221 Bye")})));
    FtpClient client(Settings());
    client.Connect();
    client.SetTransferType(TFtpTransferType::Binary);
    std::size_t received = 0;
    // The reset data connection fails the transfer before the server's 426 arrives.
    EXPECT_THROW(client.Retrieve("a.kta", [&](const char*, std::size_t n) { received += n; }),
                 EFtpError);
    EXPECT_LE(received, 300'000u);
    client.Abort();
    client.Noop(); // answered with 200: the 426 was not taken for the NOOP's reply
    client.Quit(1s);
    ExpectTranscript(
        concat(LoginTranscript(), {"TYPE I", "PASV", "RETR a.kta", "ABOR", "NOOP", "QUIT"}));
}

TEST_F(FtpClientTest, AMissingReplyTimesOutAndAFailedAbortRetiresTheConnection) {
    Serve(Concat(LoginSteps(), json::array({Step("CWD slow", nullptr)})));
    {
        FtpClient client(Settings());
        client.Connect();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_THROW(client.ChangeDir("slow"), EFtpError);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
        EXPECT_FALSE(client.Connected()); // its replies can no longer be matched
        EXPECT_THROW(client.Noop(), EFtpError);
    }

    Serve(Concat(LoginSteps(), json::array({Step("ABOR", nullptr)})));
    FtpClient client(Settings());
    client.Connect();
    EXPECT_THROW(client.Abort(), EFtpError);
    EXPECT_FALSE(client.Connected());
}

TEST_F(FtpClientTest, InterruptStopsARunningTransferAtOnce) {
    Serve(Concat(
        LoginSteps(),
        json::array({Pasv(), Retr("slow.kta", 50'000'000, {{"chunk", 16384}, {"delay_ms", 20}}),
                     Step("QUIT", "221 Bye")})));
    FtpClient client(Settings());
    client.Connect();
    std::atomic<bool> started{false};
    std::thread aborter([&] {
        test::WaitFor([&] { return started.load(); }, 10s);
        client.Interrupt();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(client.Retrieve(
                     "slow.kta", [](const char*, std::size_t) {}, [&](int64_t) { started = true; }),
                 EFtpInterrupted);
    aborter.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    // The transfer's final reply is still owed and skipped; QUIT goes out.
    client.Quit(200ms);
    ExpectTranscript(concat(LoginTranscript(), {"PASV", "RETR slow.kta", "QUIT"}));
}

TEST_F(FtpClientTest, RefusesCommandsWithLineBreaks) {
    Serve(Concat(LoginSteps(), json::array({Step("NOOP", "200 OK")})));
    FtpClient client(Settings());
    client.Connect();
    EXPECT_THROW(client.Delete("a.kta\r\nDELE other.kta"), EFtpError);
    EXPECT_THROW(client.Retrieve(std::string("a\nb"), [](const char*, std::size_t) {}), EFtpError);
    client.Noop();
    ExpectTranscript(concat(LoginTranscript(), {"NOOP"}));
}

struct ProxyCase {
    TFTPProxyType type;
    Lines login;
};

class FtpProxyLoginTest : public FtpClientTest, public ::testing::WithParamInterface<ProxyCase> {};

TEST_P(FtpProxyLoginTest, SendsTheProxyTypesCommands) {
    json steps = json::array();
    for (const auto& line : GetParam().login) {
        // Every USER gets 331, every PASS 230; the others a plain 2xx.
        std::string reply = line.rfind("USER", 0) == 0   ? "331 Password required"
                            : line.rfind("PASS", 0) == 0 ? "230 Logged in"
                                                         : "220 Connected to the server";
        steps.push_back(Step(line, reply));
    }
    steps.push_back(Step("FEAT", "500 Unknown"));
    steps.push_back(Step("TYPE A", "200 Type A"));
    Serve(steps);

    // The scripted server stands in for the proxy; the FTP server's name and port are only
    // passed on in the login.
    auto settings = Settings();
    settings.Host = "ftp.example.com";
    settings.Port = 2121;
    settings.ProxyType = GetParam().type;
    settings.ProxyHost = "127.0.0.1";
    settings.ProxyPort = static_cast<uint16_t>(m_server->Port());
    settings.ProxyUsername = "fw";
    settings.ProxyPassword = "fwpw";
    FtpClient client(settings);
    client.Connect();
    ExpectTranscript(concat(GetParam().login, {"FEAT", "TYPE A"}));
}

INSTANTIATE_TEST_SUITE_P(
    Types1To7, FtpProxyLoginTest,
    ::testing::Values(
        ProxyCase{TFTPProxyType::UserSite,
                  {"USER fw", "PASS fwpw", "USER bob@ftp.example.com:2121", "PASS secret"}},
        ProxyCase{TFTPProxyType::Site,
                  {"USER fw", "PASS fwpw", "SITE ftp.example.com:2121", "USER bob", "PASS secret"}},
        ProxyCase{TFTPProxyType::Open,
                  {"USER fw", "PASS fwpw", "OPEN ftp.example.com:2121", "USER bob", "PASS secret"}},
        ProxyCase{TFTPProxyType::UserPass,
                  {"USER bob@fw@ftp.example.com:2121", "PASS secret@fwpw"}},
        ProxyCase{TFTPProxyType::Transparent, {"USER fw", "PASS fwpw", "USER bob", "PASS secret"}},
        ProxyCase{TFTPProxyType::UserHostFireWallID,
                  {"USER bob@ftp.example.com:2121 fw", "PASS secret"}},
        ProxyCase{TFTPProxyType::NovellBorder,
                  {"USER fw$bob$ftp.example.com:2121", "PASS fwpw$secret"}}));

TEST_F(FtpClientTest, CustomAndUnknownProxyTypesConnectDirectly) {
    for (auto type : {TFTPProxyType::Custom, static_cast<TFTPProxyType>(42)}) {
        Serve(LoginSteps());
        auto settings = Settings();
        settings.ProxyType = type;
        settings.ProxyHost = "127.0.0.2"; // would fail if it were used
        settings.ProxyPort = 1;
        FtpClient client(settings);
        client.Connect();
        ExpectTranscript(LoginTranscript());
    }
}

TEST_F(FtpClientTest, HttpProxyTunnelsControlAndDataConnections) {
    test::HttpProxy proxy(m_sandbox.Path("proxy"), "pxuser", "pxpass");
    const std::string listing = "-rw-r--r-- 1 u g 5 Jan 1 12:00 a.kta\r\n";
    Serve(Concat(LoginSteps(), json::array({Pasv(),
                                            {{"cmd", "LIST"},
                                             {"reply", "150 Here it comes"},
                                             {"data", {{"text", listing}}}},
                                            Pasv(),
                                            Retr("a.kta", 5)})));
    auto settings = Settings();
    settings.Passive = false; // a tunnel cannot carry active mode; passive is used
    settings.ProxyType = TFTPProxyType::HttpProxyWithFtp;
    settings.ProxyHost = "127.0.0.1";
    settings.ProxyPort = static_cast<uint16_t>(proxy.Port());
    settings.ProxyUsername = "pxuser";
    settings.ProxyPassword = "pxpass";
    FtpClient client(settings);
    client.Connect();
    ASSERT_EQ(client.List().size(), 1u);
    std::string received;
    client.Retrieve("a.kta", [&](const char* d, std::size_t n) { received.append(d, n); });
    EXPECT_EQ(received, test::PatternBytes(5));
    ExpectTranscript(concat(LoginTranscript(), {"PASV", "LIST", "PASV", "RETR a.kta"}));
    // Three tunnels: the control connection and two data connections.
    const std::string log = proxy.Log();
    std::size_t tunnels = 0;
    for (auto pos = log.find("CONNECT 127.0.0.1"); pos != std::string::npos;
         pos = log.find("CONNECT 127.0.0.1", pos + 1))
        ++tunnels;
    EXPECT_EQ(tunnels, 3u) << log;

    settings.ProxyPassword = "wrong";
    FtpClient refused(settings);
    try {
        refused.Connect();
        ADD_FAILURE() << "the proxy must refuse";
    } catch (const EFtpError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("The HTTP proxy refused", 0), 0u) << e.what();
    }
}

} // namespace
} // namespace tlv
