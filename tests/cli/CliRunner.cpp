#include "cli/CliRunner.h"

#include "common/Sandbox.h"

#include <atomic>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace tlv::test {

namespace {

std::atomic<int> g_runs{0};

std::vector<char*> argvFor(std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    return argv;
}

// The exit code of a reaped child, -1 when a signal ended it.
int exitCodeOf(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

CliProcess::CliProcess(const fs::path& folder, const std::vector<std::string>& args,
                       const std::string& input) {
    fs::create_directories(folder);
    const std::string stem = "cli-" + std::to_string(++g_runs);
    m_out = folder / (stem + ".out");
    m_err = folder / (stem + ".err");
    const fs::path in = folder / (stem + ".in");
    std::ofstream(in, std::ios::binary) << input;

    std::vector<std::string> all = {TOLVANE_CLI_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv = argvFor(all);
    const std::string dir = folder.string(), out = m_out.string(), err = m_err.string(),
                      inName = in.string();
    m_pid = fork();
    if (m_pid < 0)
        throw std::runtime_error("fork failed");
    if (m_pid == 0) {
        const int inFd = open(inName.c_str(), O_RDONLY);
        const int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (inFd < 0 || outFd < 0 || errFd < 0 || chdir(dir.c_str()) != 0)
            _exit(126);
        dup2(inFd, 0);
        dup2(outFd, 1);
        dup2(errFd, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
}

CliProcess::~CliProcess() {
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
}

std::string CliProcess::Out() const {
    return ReadFileText(m_out);
}
std::string CliProcess::Err() const {
    return ReadFileText(m_err);
}

bool CliProcess::WaitForOut(const std::string& text, std::chrono::milliseconds timeout) const {
    return WaitFor([&] { return Out().find(text) != std::string::npos; }, timeout,
                   std::chrono::milliseconds(20));
}

void CliProcess::Signal(int signal) const {
    if (m_pid > 0)
        kill(m_pid, signal);
}

CliResult CliProcess::Wait(std::chrono::milliseconds timeout) {
    if (m_pid > 0) {
        int status = 0;
        const bool ended = WaitFor([&] { return waitpid(m_pid, &status, WNOHANG) == m_pid; },
                                   timeout, std::chrono::milliseconds(10));
        if (!ended) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
            m_exitCode = -1;
        } else {
            m_exitCode = exitCodeOf(status);
        }
        m_pid = -1;
    }
    return {m_exitCode, Out(), Err()};
}

CliResult RunCli(const fs::path& folder, const std::vector<std::string>& args,
                 const std::string& input, std::chrono::milliseconds timeout) {
    CliProcess process(folder, args, input);
    return process.Wait(timeout);
}

CliResult RunCliOnTerminal(const fs::path& folder, const std::vector<std::string>& args,
                           std::chrono::milliseconds timeout) {
    fs::create_directories(folder);
    std::vector<std::string> all = {TOLVANE_CLI_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv = argvFor(all);
    const std::string dir = folder.string();
    // The environment as a user's terminal has it, prepared before the fork.
    std::vector<std::string> environment = {"TERM=xterm"};
    for (char** variable = environ; *variable; ++variable)
        if (std::string_view(*variable).substr(0, 5) != "TERM=")
            environment.emplace_back(*variable);
    std::vector<char*> envp = argvFor(environment);
    winsize size{};
    size.ws_col = 120;
    size.ws_row = 40;
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, &size);
    if (pid < 0)
        throw std::runtime_error("forkpty failed");
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0)
            _exit(126);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    CliResult result;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    bool reaped = false;
    // Read until the terminal closes (the program and its output are done) or the deadline.
    for (;;) {
        pollfd fd{master, POLLIN, 0};
        const int ready = poll(&fd, 1, 50);
        if (ready > 0) {
            char buffer[4096];
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n <= 0)
                break; // EIO once the child side is closed
            result.Out.append(buffer, static_cast<size_t>(n));
        }
        if (!reaped && waitpid(pid, &status, WNOHANG) == pid)
            reaped = true;
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            break;
        }
    }
    if (!reaped)
        waitpid(pid, &status, 0);
    close(master);
    result.ExitCode = exitCodeOf(status);
    return result;
}

} // namespace tlv::test
