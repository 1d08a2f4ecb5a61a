#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace tlv::test {

// What a finished run of tolvane-cli left: its exit status and its output.
struct CliResult {
    int ExitCode = -1; // -1: it did not exit by itself (killed by a signal or by the deadline)
    std::string Out;
    std::string Err;
};

// tolvane-cli started as a user starts it: its own process, run in `folder`, with `args` after
// the program name, `input` on stdin and its output captured in files of `folder`. The test
// process's environment (the sandbox's XDG_DATA_HOME) is passed on. Every wait has a deadline;
// a process still running when the object goes is killed.
class CliProcess {
public:
    CliProcess(const std::filesystem::path& folder, const std::vector<std::string>& args,
               const std::string& input = {});
    ~CliProcess();
    CliProcess(const CliProcess&) = delete;
    CliProcess& operator=(const CliProcess&) = delete;

    std::string Out() const;
    std::string Err() const;
    // Waits until stdout holds `text`.
    bool WaitForOut(const std::string& text,
                    std::chrono::milliseconds timeout = std::chrono::seconds(60)) const;
    void Signal(int signal) const;
    // Waits for the exit; kills the process when the deadline passes.
    CliResult Wait(std::chrono::milliseconds timeout = std::chrono::seconds(120));

private:
    std::filesystem::path m_out;
    std::filesystem::path m_err;
    int m_pid = -1;
    int m_exitCode = -1;
};

// Runs tolvane-cli to its end.
CliResult RunCli(const std::filesystem::path& folder, const std::vector<std::string>& args,
                 const std::string& input = {},
                 std::chrono::milliseconds timeout = std::chrono::seconds(120));

// Runs tolvane-cli on a pseudo terminal (as a user at a terminal sees it) and returns all it
// wrote there.
CliResult RunCliOnTerminal(const std::filesystem::path& folder,
                           const std::vector<std::string>& args,
                           std::chrono::milliseconds timeout = std::chrono::seconds(120));

} // namespace tlv::test
