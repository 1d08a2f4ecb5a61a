#include "core/Dispatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

namespace tlv {
namespace {

using namespace std::chrono_literals;

TEST(LoopDispatcher, RunsWorkerCallsOnTheUIThreadAndWaits) {
    TLoopDispatcher dispatcher;
    const auto uiThread = std::this_thread::get_id();
    std::atomic<int> returned{0};
    int ranOnUI = 0; // touched on the UI thread only
    std::thread worker([&] {
        for (int i = 0; i < 3; ++i) {
            dispatcher.Synchronize([&] {
                EXPECT_EQ(std::this_thread::get_id(), uiThread);
                ++ranOnUI;
            });
            returned = i + 1;
        }
    });
    EXPECT_TRUE(dispatcher.WaitFor([&] { return returned == 3; }, 10s));
    worker.join();
    EXPECT_EQ(ranOnUI, 3);
}

TEST(LoopDispatcher, RunsInlineOnTheUIThreadAndPassesErrorsBack) {
    TLoopDispatcher dispatcher;
    bool ran = false;
    EXPECT_TRUE(dispatcher.Synchronize([&] { ran = true; }));
    EXPECT_TRUE(ran);

    std::atomic<bool> caught{false};
    std::thread worker([&] {
        try {
            dispatcher.Synchronize([] { throw std::runtime_error("handler failed"); });
        } catch (const std::runtime_error& e) {
            caught = std::string(e.what()) == "handler failed";
        }
    });
    EXPECT_TRUE(dispatcher.WaitFor([&] { return caught.load(); }, 10s));
    worker.join();
}

TEST(LoopDispatcher, ShutdownReleasesAWaitingWorker) {
    TLoopDispatcher dispatcher;
    std::atomic<int> result{-1};
    std::thread worker([&] { result = dispatcher.Synchronize([] {}) ? 1 : 0; });
    // The UI thread never processes the call: whether the worker is already waiting or comes
    // later, shutdown must let it go without running the call.
    std::this_thread::sleep_for(50ms);
    dispatcher.Shutdown();
    worker.join();
    EXPECT_EQ(result, 0);
}

} // namespace
} // namespace tlv
