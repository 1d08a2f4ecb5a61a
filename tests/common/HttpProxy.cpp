#include "common/HttpProxy.h"

#include "common/Sandbox.h"

#include <fstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace tlv::test {

namespace {
std::string findTinyproxy() {
    // Debian installs it in /usr/bin (tinyproxy-bin); older layouts used /usr/sbin.
    for (const char* path : {"/usr/bin/tinyproxy", "/usr/sbin/tinyproxy"})
        if (fs::exists(path))
            return path;
    throw std::runtime_error("tinyproxy is not installed (scripts/install-deps.sh)");
}
} // namespace

HttpProxy::HttpProxy(const fs::path& folder, const std::string& user, const std::string& password)
    : m_folder(folder) {
    fs::create_directories(m_folder);
    const std::string program = findTinyproxy();
    // The free port may be taken by someone else before tinyproxy binds it; try a few.
    for (int attempt = 0; attempt < 3 && !m_process; ++attempt) {
        const int port = FreeLoopbackPort();
        const fs::path config = m_folder / "tinyproxy.conf";
        {
            std::ofstream out(config, std::ios::trunc);
            // No ConnectPort line: CONNECT is allowed to every port, which the FTP tunnels need.
            out << "Port " << port << "\n"
                << "Listen 127.0.0.1\n"
                << "Timeout 60\n"
                << "Allow 127.0.0.1\n"
                << "MaxClients 50\n"
                << "LogLevel Connect\n"
                << "DisableViaHeader Yes\n";
            if (!user.empty())
                out << "BasicAuth " << user << " " << password << "\n";
        }
        auto process = std::make_unique<PeerProcess>(
            std::vector<std::string>{program, "-d", "-c", config.string()},
            (m_folder / "tinyproxy.log").string());
        WaitFor(
            [&] { return !process->Running() || WaitForPort(port, std::chrono::milliseconds(50)); },
            std::chrono::seconds(10));
        if (process->Running() && WaitForPort(port, std::chrono::milliseconds(50))) {
            m_port = port;
            m_process = std::move(process);
        }
    }
    if (!m_process)
        throw std::runtime_error("tinyproxy did not start: " + Log());
}

HttpProxy::~HttpProxy() = default;

std::string HttpProxy::Log() const {
    return ReadFileText(m_folder / "tinyproxy.log");
}

} // namespace tlv::test
