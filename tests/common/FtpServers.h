#pragma once

#include "common/Peers.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace tlv::test {

// The scripted FTP server (tests/peers/scripted_ftp.py): replays a JSON script of expected
// commands and replies and records the commands it received. Its files live in `folder`.
class ScriptedFtpServer {
public:
    ScriptedFtpServer(const std::filesystem::path& folder, const std::string& scriptJson);

    int Port() const { return m_port; }
    // The commands received so far, in order.
    std::vector<std::string> Transcript() const;
    // Waits until at least `count` commands arrived.
    bool WaitForCommands(std::size_t count,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

private:
    std::filesystem::path m_folder;
    int m_port = 0;
    std::unique_ptr<PeerProcess> m_process;
};

// Debian's pyftpdlib serving `root` to one user on 127.0.0.1 (plain FTP).
class PyFtpServer {
public:
    // `bytesPerSecond` above 0 slows every data connection down to that rate.
    PyFtpServer(const std::filesystem::path& folder, const std::filesystem::path& root,
                const std::string& user, const std::string& password, int bytesPerSecond = 0);

    int Port() const { return m_port; }

private:
    int m_port = 0;
    std::unique_ptr<PeerProcess> m_process;
};

// vsftpd with implicit TLS on 127.0.0.1, with a self-signed certificate made for the run and
// TLS session reuse required on data connections. Anonymous login ("anonymous", any password)
// lands in Root(), which vsftpd insists must not be writable by the FTP user; the writable
// folder is Root()/"backups".
class VsftpdServer {
public:
    // vsftpd wants to start as root (it drops to its own users); elsewhere tests skip it.
    static bool CanRun();

    explicit VsftpdServer(const std::filesystem::path& folder);

    int Port() const { return m_port; }
    const std::filesystem::path& Root() const { return m_root; }
    // Where files go that the tests fetch and delete: readable and writable by vsftpd's user.
    std::filesystem::path Backups() const { return m_root / "backups"; }
    // Makes a file written by the test readable and deletable for vsftpd's anonymous user.
    void Share(const std::filesystem::path& file) const;

private:
    std::filesystem::path m_folder;
    std::filesystem::path m_root;
    int m_port = 0;
    std::unique_ptr<PeerProcess> m_process;
};

// Byte i of the scripted server's {"size": N} payloads.
std::string PatternBytes(std::size_t count);

} // namespace tlv::test
