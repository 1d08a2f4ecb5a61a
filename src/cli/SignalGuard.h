#pragma once

namespace tlv::cli {

// Turns SIGINT and SIGTERM into a stop request that the engine loop polls: the work in hand is
// then aborted, the sites saved and the program ends in order. A second signal ends the process
// at once with `forcedExitStatus`, for a user who will not wait for a request in flight.
// One guard at a time; main thread.
class TSignalGuard {
public:
    explicit TSignalGuard(int forcedExitStatus);
    ~TSignalGuard(); // puts the previous handlers back
    TSignalGuard(const TSignalGuard&) = delete;
    TSignalGuard& operator=(const TSignalGuard&) = delete;

    // Any thread. The first signal received, 0 while none was.
    static int Signal();
    static bool Raised() { return Signal() != 0; }
};

} // namespace tlv::cli
