#include "common/Peers.h"

#include "common/Sandbox.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

namespace tlv::test {

PeerProcess::PeerProcess(const std::vector<std::string>& argv, const std::string& logFile) {
    if (argv.empty())
        throw std::invalid_argument("PeerProcess needs a program");
    std::vector<char*> args;
    for (const auto& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    m_pid = fork();
    if (m_pid < 0)
        throw std::runtime_error("fork failed");
    if (m_pid == 0) {
        setpgid(0, 0);
        int out = logFile.empty() ? open("/dev/null", O_WRONLY)
                                  : open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (out >= 0) {
            dup2(out, 1);
            dup2(out, 2);
            close(out);
        }
        int in = open("/dev/null", O_RDONLY);
        if (in >= 0) {
            dup2(in, 0);
            close(in);
        }
        execvp(args[0], args.data());
        _exit(127);
    }
    setpgid(m_pid, m_pid);
}

PeerProcess::~PeerProcess() { Stop(); }

bool PeerProcess::Running() const {
    if (m_pid <= 0)
        return false;
    int status = 0;
    return waitpid(m_pid, &status, WNOHANG) == 0;
}

void PeerProcess::Stop() {
    if (m_pid <= 0)
        return;
    kill(-m_pid, SIGTERM);
    int status = 0;
    bool gone = WaitFor([&] { return waitpid(m_pid, &status, WNOHANG) != 0; },
                        std::chrono::seconds(3));
    if (!gone) {
        kill(-m_pid, SIGKILL);
        waitpid(m_pid, &status, 0);
    }
    kill(-m_pid, SIGKILL); // children that outlived their parent
    m_pid = -1;
}

int FreeLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        close(fd);
        throw std::runtime_error("no free loopback port");
    }
    close(fd);
    return ntohs(addr.sin_port);
}

bool WaitForPort(int port, std::chrono::milliseconds timeout) {
    return WaitFor(
        [port] {
            int fd = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            addr.sin_port = htons(static_cast<uint16_t>(port));
            bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
            close(fd);
            return ok;
        },
        timeout, std::chrono::milliseconds(20));
}

std::string SystemPython() { return "/usr/bin/python3"; }

} // namespace tlv::test
