// The wizard's FTP check and folder browser and the site editor's FTP test, against pyftpdlib
// and vsftpd.
#include "common/FtpServers.h"
#include "common/Sandbox.h"
#include "download/FtpCheck.h"
#include "storage/Translate.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace tlv {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

class FtpCheckTest : public ::testing::Test {
protected:
    FtpCheckTest() {
        m_sandbox.UseDatabase();
        m_sandbox.InstallLanguages();
        JTranslate::Instance();
        m_sandbox.WriteFile("ftproot/readme.txt", "not a folder");
        m_sandbox.WriteFile("ftproot/backups/site.kta", "archive");
        fs::create_directories(m_sandbox.Path("ftproot/backups/old"));
        fs::create_directories(m_sandbox.Path("ftproot/other"));
        m_server = std::make_unique<test::PyFtpServer>(m_sandbox.Path("pyftpd"),
                                                       m_sandbox.Path("ftproot"), "bob", "secret");
    }

    TKeltroSiteDefinition Definition() const {
        TKeltroSiteDefinition d;
        d.FTPHost = "127.0.0.1";
        d.FTPPort = m_server->Port();
        d.FTPUsername = "bob";
        d.FTPPassword = "secret";
        d.FTPInitialDirectory = "/backups";
        return d;
    }

    static Lines sorted(Lines lines) {
        std::sort(lines.begin(), lines.end());
        return lines;
    }

    test::Sandbox m_sandbox;
    std::unique_ptr<test::PyFtpServer> m_server;
};

TEST_F(FtpCheckTest, CheckFTPOutcomes) {
    const std::string port = std::to_string(m_server->Port());
    auto page = [](std::string host, std::string portText, std::string password) {
        TFTPPageValues values;
        values.Host = std::move(host);
        values.PortText = std::move(portText);
        values.Username = "bob";
        values.Password = std::move(password);
        return values;
    };
    struct Case {
        TFTPPageValues page;
        bool result;
        std::string errorKey; // empty: no box
        bool download;
        int32_t port;
        bool labelKept;
    } cases[] = {
        {page("", "not a number", "secret"), true, "", false, 21, true},
        {page("ftp://127.0.0.1", port, "secret"), false, "ERR_NS_DONTUSEFTPPROTOCOL", true,
         m_server->Port(), true},
        {page("127.0.0.1", port, "secret"), true, "", true, m_server->Port(), false},
        {page("127.0.0.1", port, "wrong"), false, "ERR_NS_OP_CHECKFTP", true, m_server->Port(),
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.page.Host + " " + c.page.Password);
        auto outcome = CheckFTP(c.page);
        EXPECT_EQ(outcome.Result, c.result);
        EXPECT_EQ(outcome.ErrorMessage, c.errorKey.empty() ? "" : Translate(c.errorKey));
        EXPECT_EQ(outcome.Download, c.download);
        EXPECT_EQ(outcome.Port, c.port);
        EXPECT_EQ(outcome.Host, c.page.Host);
        EXPECT_EQ(outcome.OperationLabel, c.labelKept ? Translate("TXT_NS_OP_CHECKFTP") : "");
    }
}

TEST_F(FtpCheckTest, ListFolderBrowsesFoldersOnly) {
    auto first = ListFolder(Definition(), "", "");
    ASSERT_TRUE(first.Success) << first.ErrorMessage;
    EXPECT_EQ(first.CurrentFolder, "/");
    EXPECT_EQ(sorted(first.Folders), (Lines{"backups", "other"}));

    auto down = ListFolder(Definition(), first.CurrentFolder, "backups");
    ASSERT_TRUE(down.Success) << down.ErrorMessage;
    EXPECT_EQ(down.CurrentFolder, "/backups");
    EXPECT_EQ(down.Folders, Lines{"old"});

    auto again = ListFolder(Definition(), down.CurrentFolder, "");
    EXPECT_EQ(again.CurrentFolder, "/backups");

    auto up = ListFolder(Definition(), down.CurrentFolder, "..");
    ASSERT_TRUE(up.Success);
    EXPECT_EQ(up.CurrentFolder, "/");

    auto missing = ListFolder(Definition(), down.CurrentFolder, "missing");
    EXPECT_FALSE(missing.Success);
    EXPECT_EQ(missing.ErrorMessage, Translate("ERR_NS_CANTCHANGEDIR"));
    EXPECT_EQ(missing.CurrentFolder, "/backups");

    auto definition = Definition();
    definition.FTPPassword = "wrong";
    auto refused = ListFolder(definition, "/backups", "old");
    EXPECT_FALSE(refused.Success);
    EXPECT_EQ(refused.ErrorMessage, Translate("ERR_NS_OP_CHECKFTP"));
    EXPECT_EQ(refused.CurrentFolder, "/backups");
}

TEST_F(FtpCheckTest, SiteEditorTest) {
    int repaints = 0;
    auto passed = TestFTPConnection(Definition(), [&] { ++repaints; });
    EXPECT_TRUE(passed.Passed);
    EXPECT_EQ(passed.Message, Translate("CONNECTION_SUCCESS"));
    EXPECT_EQ(repaints, 3);

    auto definition = Definition();
    definition.FTPInitialDirectory = "/missing";
    auto noDir = TestFTPConnection(definition);
    EXPECT_FALSE(noDir.Passed);
    EXPECT_EQ(noDir.Message.rfind(Translate("FTP_NO_DIR") + "\n", 0), 0u) << noDir.Message;
    EXPECT_GT(noDir.Message.size(), Translate("FTP_NO_DIR").size() + 1);

    definition = Definition();
    definition.FTPPassword = "wrong";
    auto noLogin = TestFTPConnection(definition);
    EXPECT_FALSE(noLogin.Passed);
    EXPECT_EQ(noLogin.Message.rfind(Translate("FTP_NO_CONNECTION") + "\n", 0), 0u);

    definition = Definition(); // a plain server cannot answer the TLS handshake
    definition.FTPUseSSL = true;
    auto noTls = TestFTPConnection(definition);
    EXPECT_FALSE(noTls.Passed);
    EXPECT_EQ(noTls.Message.rfind(Translate("FTP_NO_CONNECTION") + "\n", 0), 0u);

    if (!test::VsftpdServer::CanRun())
        GTEST_SKIP() << "vsftpd needs root and its \"ftp\" user";
    // Implicit TLS, and passive even when active mode is asked for.
    test::VsftpdServer vsftpd(m_sandbox.Path("vsftpd"));
    definition = Definition();
    definition.FTPPort = vsftpd.Port();
    definition.FTPUsername = "anonymous";
    definition.FTPPassword = "x";
    definition.FTPUseSSL = true;
    definition.FTPActiveMode = true;
    definition.FTPInitialDirectory = "/backups";
    auto secure = TestFTPConnection(definition);
    EXPECT_TRUE(secure.Passed) << secure.Message;
    definition.FTPInitialDirectory = ""; // "CWD " with nothing after it, which vsftpd refuses
    auto empty = TestFTPConnection(definition);
    EXPECT_FALSE(empty.Passed);
    EXPECT_EQ(empty.Message.rfind(Translate("FTP_NO_DIR") + "\n", 0), 0u) << empty.Message;
}

} // namespace
} // namespace tlv
