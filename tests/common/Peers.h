#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace tlv::test {

// A peer server process started by a test on loopback and killed (with its process group) when
// the object goes. Every wait has a deadline.
class PeerProcess {
public:
    // Starts argv[0] with the arguments; stdout and stderr go to `logFile` when given.
    explicit PeerProcess(const std::vector<std::string>& argv, const std::string& logFile = {});
    ~PeerProcess();
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    int Pid() const { return m_pid; }
    bool Running() const;
    // Sends SIGTERM to the group, then SIGKILL when it has not gone after a grace period.
    void Stop();

private:
    int m_pid = -1;
};

// A TCP port on 127.0.0.1 that nobody listens on right now.
int FreeLoopbackPort();

// Waits until something accepts TCP connections on 127.0.0.1:port.
bool WaitForPort(int port, std::chrono::milliseconds timeout = std::chrono::seconds(15));

// The system Python (the one Debian's python3-* packages belong to).
std::string SystemPython();

} // namespace tlv::test
