#include "common/FtpServers.h"

#include "common/Sandbox.h"

#include <cstdlib>
#include <fstream>
#include <pwd.h>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace fs = std::filesystem;

namespace tlv::test {

namespace {

// The peers pick their own port and publish it in a file once they listen. (No probe
// connection: the scripted server would take it for the first session of its script.)
int waitForPortFile(const fs::path& file, const PeerProcess& process, const fs::path& log) {
    int port = 0;
    WaitFor(
        [&] {
            std::string text = ReadFileText(file);
            if (!text.empty())
                port = std::atoi(text.c_str());
            return port > 0 || !process.Running();
        },
        std::chrono::seconds(15), std::chrono::milliseconds(10));
    if (port <= 0)
        throw std::runtime_error("FTP peer did not start: " + ReadFileText(log));
    return port;
}

} // namespace

ScriptedFtpServer::ScriptedFtpServer(const fs::path& folder, const std::string& scriptJson)
    : m_folder(folder) {
    fs::create_directories(m_folder);
    const fs::path script = m_folder / "script.json";
    std::ofstream(script, std::ios::trunc) << scriptJson;
    const fs::path portFile = m_folder / "port";
    fs::remove(portFile);
    m_process = std::make_unique<PeerProcess>(
        std::vector<std::string>{SystemPython(),
                                 std::string(TOLVANE_PEERS_DIR) + "/scripted_ftp.py", "--script",
                                 script.string(), "--port-file", portFile.string(), "--transcript",
                                 (m_folder / "transcript.txt").string()},
        (m_folder / "server.log").string());
    m_port = waitForPortFile(portFile, *m_process, m_folder / "server.log");
}

std::vector<std::string> ScriptedFtpServer::Transcript() const {
    std::vector<std::string> lines;
    std::istringstream in(ReadFileText(m_folder / "transcript.txt"));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool ScriptedFtpServer::WaitForCommands(std::size_t count,
                                        std::chrono::milliseconds timeout) const {
    return WaitFor([&] { return Transcript().size() >= count; }, timeout);
}

PyFtpServer::PyFtpServer(const fs::path& folder, const fs::path& root, const std::string& user,
                         const std::string& password, int bytesPerSecond) {
    fs::create_directories(folder);
    fs::create_directories(root);
    const fs::path portFile = folder / "pyftpd.port";
    fs::remove(portFile);
    m_process = std::make_unique<PeerProcess>(
        std::vector<std::string>{
            SystemPython(), std::string(TOLVANE_PEERS_DIR) + "/pyftpd_server.py", "--root",
            root.string(), "--user", user, "--password", password, "--port-file", portFile.string(),
            "--rate", std::to_string(bytesPerSecond)},
        (folder / "pyftpd.log").string());
    m_port = waitForPortFile(portFile, *m_process, folder / "pyftpd.log");
}

bool VsftpdServer::CanRun() {
    return geteuid() == 0 && getpwnam("ftp") && fs::exists("/usr/sbin/vsftpd");
}

VsftpdServer::VsftpdServer(const fs::path& folder) : m_folder(folder), m_root(folder / "root") {
    const struct passwd* ftpUser = getpwnam("ftp");
    if (!ftpUser)
        throw std::runtime_error("vsftpd's user \"ftp\" is missing (apt-get install vsftpd)");
    fs::create_directories(m_folder / "empty");
    fs::create_directories(Backups());
    // vsftpd chroots anonymous users into the root, which must not be writable by them.
    fs::permissions(m_root, fs::perms(0755));
    fs::permissions(m_folder / "empty", fs::perms(0755));
    if (chown(Backups().c_str(), ftpUser->pw_uid, ftpUser->pw_gid) != 0)
        throw std::runtime_error("cannot hand the backups folder to vsftpd's user");

    const fs::path cert = m_folder / "cert.pem";
    const fs::path key = m_folder / "key.pem";
    const std::string openssl = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "
                                "/CN=localhost -keyout '" +
                                key.string() + "' -out '" + cert.string() + "' >/dev/null 2>&1";
    if (std::system(openssl.c_str()) != 0)
        throw std::runtime_error("openssl could not make a certificate");

    for (int attempt = 0; attempt < 3 && !m_process; ++attempt) {
        const int port = FreeLoopbackPort();
        const fs::path config = m_folder / "vsftpd.conf";
        std::ofstream(config, std::ios::trunc)
            << "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\n"
            << "listen_port=" << port << "\n"
            << "background=NO\nseccomp_sandbox=NO\n"
            // Running as root in the tests: an existing unprivileged user and an empty folder
            // of our own stand in for the system's defaults.
            << "nopriv_user=nobody\nsecure_chroot_dir=" << (m_folder / "empty").string() << "\n"
            << "anonymous_enable=YES\nno_anon_password=YES\nftp_username=ftp\n"
            << "anon_root=" << m_root.string() << "\n"
            << "local_enable=NO\nwrite_enable=YES\nanon_other_write_enable=YES\n"
            << "anon_world_readable_only=NO\n"
            << "ssl_enable=YES\nimplicit_ssl=YES\nallow_anon_ssl=YES\n"
            << "force_anon_logins_ssl=YES\nforce_anon_data_ssl=YES\nrequire_ssl_reuse=YES\n"
            << "rsa_cert_file=" << cert.string() << "\nrsa_private_key_file=" << key.string()
            << "\n"
            << "pasv_enable=YES\nport_enable=YES\n"
            << "xferlog_enable=NO\nvsftpd_log_file=" << (m_folder / "vsftpd.log").string() << "\n";
        auto process = std::make_unique<PeerProcess>(
            std::vector<std::string>{"/usr/sbin/vsftpd", config.string()},
            (m_folder / "vsftpd.out").string());
        if (WaitForPort(port, std::chrono::seconds(10)) && process->Running()) {
            m_port = port;
            m_process = std::move(process);
        }
    }
    if (!m_process)
        throw std::runtime_error("vsftpd did not start: " + ReadFileText(m_folder / "vsftpd.out"));
}

void VsftpdServer::Share(const fs::path& file) const {
    const struct passwd* ftpUser = getpwnam("ftp");
    fs::permissions(file, fs::perms(0644));
    if (!ftpUser || chown(file.c_str(), ftpUser->pw_uid, ftpUser->pw_gid) != 0)
        throw std::runtime_error("cannot share " + file.string() + " with vsftpd");
}

std::string PatternBytes(std::size_t count) {
    std::string bytes(count, '\0');
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<char>(i % 251);
    return bytes;
}

} // namespace tlv::test
