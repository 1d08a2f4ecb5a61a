#include "cli/CliFixture.h"

#include "storage/Translate.h"

#include <fstream>

namespace fs = std::filesystem;

namespace tlv::test {

namespace {
void writeBytes(const fs::path& file, size_t count) {
    std::ofstream out(file, std::ios::binary);
    for (size_t i = 0; i < count; ++i)
        out.put(static_cast<char>('a' + i % 26));
}
} // namespace

std::string Text(const std::string& key) {
    return Translate(key);
}

CliTest::CliTest() {
    sandbox.UseDatabase();
    sandbox.InstallLanguages();
    JTranslate::Instance();
    database = sandbox.Path("cli.sqlite").string();
}

CliResult CliTest::Cli(std::vector<std::string> args, const std::string& input) {
    args.insert(args.begin(), {"--db", database});
    return RunCli(sandbox.Root(), args, input);
}

std::unique_ptr<CliProcess> CliTest::Start(std::vector<std::string> args) {
    args.insert(args.begin(), {"--db", database});
    return std::make_unique<CliProcess>(sandbox.Root(), args);
}

nlohmann::json CliTest::Show(const std::string& site) {
    const CliResult result = Cli({"--json", "show", site});
    EXPECT_EQ(result.ExitCode, 0) << result.Err;
    return nlohmann::json::parse(result.Out);
}

void CliTest::StartPeers(const std::vector<std::string>& serverOptions, int ftpBytesPerSecond,
                         size_t firstPartSize) {
    server = std::make_unique<XmlRpcPeer>(sandbox.Path("xmlrpc"), serverOptions);
    const fs::path root = sandbox.Path("ftproot");
    fs::create_directories(root);
    for (size_t i = 0; i < kParts.size(); ++i)
        writeBytes(root / kParts[i], i == 0 ? firstPartSize : PartSize(i));
    // The parts the server names for the older backups (keltro.getParts with a backup id) and
    // their single archives for servers before API 2.1.
    for (int id = 1; id <= 3; ++id) {
        const std::string base = "site-www.example.com-backup-" + std::to_string(id);
        for (size_t i = 0; i < 3; ++i)
            writeBytes(root / (base + (i < 2 ? ".k0" + std::to_string(i + 1) : ".kta")),
                       PartSize(i));
    }
    writeBytes(root / "keltro.log", 321);
    ftp = std::make_unique<PyFtpServer>(sandbox.Path("ftp"), root, kFtpUser, kFtpPassword,
                                        ftpBytesPerSecond);
}

std::string CliTest::AddSite(const std::string& name, const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"add",
                                     "--name",
                                     name,
                                     "--url",
                                     "http://127.0.0.1:" + std::to_string(server->Port()) +
                                         XmlRpcPeer::Path(),
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
                                     "/",
                                     "--download-dir",
                                     DownloadFolder(name).string(),
                                     "--no-probe"};
    args.insert(args.end(), extra.begin(), extra.end());
    const CliResult result = Cli(args);
    EXPECT_EQ(result.ExitCode, 0) << result.Err;
    return std::string(result.Out.substr(0, result.Out.find('\n')));
}

void CliTest::ExpectNoSecrets(const CliResult& result) {
    for (const std::string& secret : {XmlRpcPeer::Password(), kFtpPassword}) {
        EXPECT_EQ(result.Out.find(secret), std::string::npos) << "stdout shows " << secret;
        EXPECT_EQ(result.Err.find(secret), std::string::npos) << "stderr shows " << secret;
    }
}

} // namespace tlv::test
