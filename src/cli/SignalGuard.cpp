#include "cli/SignalGuard.h"

#include <atomic>
#include <csignal>
#include <cstring>
#include <unistd.h>

namespace tlv::cli {

namespace {

std::atomic<int> g_signal{0};
std::atomic<int> g_forcedExitStatus{1};
static_assert(std::atomic<int>::is_always_lock_free, "read and written by a signal handler");

struct sigaction g_previousInt;
struct sigaction g_previousTerm;

extern "C" void onSignal(int signal) {
    int none = 0;
    if (g_signal.compare_exchange_strong(none, signal))
        return;
    static const char message[] = "tolvane-cli: interrupted again; quitting at once\n";
    const ssize_t written = write(STDERR_FILENO, message, sizeof message - 1);
    (void)written;
    _exit(g_forcedExitStatus.load());
}

} // namespace

TSignalGuard::TSignalGuard(int forcedExitStatus) {
    g_signal = 0;
    g_forcedExitStatus = forcedExitStatus;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = &onSignal;
    sigemptyset(&action.sa_mask);
    // Interrupted system calls of the workers resume; the loop polls the flag.
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, &g_previousInt);
    sigaction(SIGTERM, &action, &g_previousTerm);
}

TSignalGuard::~TSignalGuard() {
    sigaction(SIGINT, &g_previousInt, nullptr);
    sigaction(SIGTERM, &g_previousTerm, nullptr);
}

int TSignalGuard::Signal() {
    return g_signal.load();
}

} // namespace tlv::cli
