#pragma once

#include "cli/CliRunner.h"
#include "common/FtpServers.h"
#include "common/Sandbox.h"
#include "common/XmlRpcPeer.h"

#include <gtest/gtest.h>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace tlv::test {

// A sandbox with a database file for tolvane-cli, the shipped languages (so that the test
// translates messages as the program does) and, on demand, the remote API server and an FTP
// server holding the archives that server names.
class CliTest : public ::testing::Test {
protected:
    CliTest();

    // tolvane-cli --db <the sandbox's database> args...
    CliResult Cli(std::vector<std::string> args, const std::string& input = {});
    std::unique_ptr<CliProcess> Start(std::vector<std::string> args);

    // show --json of the site.
    nlohmann::json Show(const std::string& site);

    // The remote API server (with these switches) and the FTP server, which sends
    // `ftpBytesPerSecond` when above 0 (pyftpdlib sends up to 64 KiB at once, then pauses: only
    // a larger first part makes a download last).
    void StartPeers(const std::vector<std::string>& serverOptions = {}, int ftpBytesPerSecond = 0,
                    size_t firstPartSize = PartSize(0));
    // Adds a site for the peers without the probe; returns its id as text.
    std::string AddSite(const std::string& name, const std::vector<std::string>& extra = {});

    std::filesystem::path DownloadFolder(const std::string& name) const {
        return sandbox.Path("downloads/" + name);
    }

    // Neither the API password nor the FTP password appears in the output.
    static void ExpectNoSecrets(const CliResult& result);

    Sandbox sandbox;
    std::string database;
    std::unique_ptr<XmlRpcPeer> server;
    std::unique_ptr<PyFtpServer> ftp;

    static inline const std::string kFtpUser = "backup";
    static inline const std::string kFtpPassword = "ftp-pass-9041";
    static inline const std::string kBase = "site-www.example.com-20240301-101500";
    static inline const std::vector<std::string> kParts = {kBase + ".k01", kBase + ".k02",
                                                           kBase + ".kta"};
    // The size of part i (of both the latest and the older backups).
    static size_t PartSize(size_t i) { return 1000 * (i + 1) + 7; }
};

// The translation as the program shows it.
std::string Text(const std::string& key);

} // namespace tlv::test
