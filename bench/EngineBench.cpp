// The engine's UI-thread costs: one schedule check over 10,000 scheduled idle sites (it runs
// every 3 s on the UI thread), and one worker event handed to the UI thread and waited for.
//
//   bench_engine [sites] [events]

#include "core/Dispatcher.h"
#include "schedule/ScheduleRunner.h"
#include "sites/SiteManager.h"
#include "storage/DatabaseConnection.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace tlv;
using Clock = std::chrono::steady_clock;

namespace {

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(p * static_cast<double>(values.size() - 1))];
}

void benchCheckSchedules(int count) {
    const fs::path folder = fs::temp_directory_path() / "tolvane-bench-engine";
    fs::remove_all(folder);
    fs::create_directories(folder);
    SetDatabaseFileOverride((folder / "tlv.sqlite").string());
    auto& manager = TKeltroSiteManager::Instance();
    // Every schedule kind, none of them due, so each check walks every site without queueing.
    const TDateTime now = TDateTime::Now();
    for (int i = 0; i < count; ++i) {
        auto site = std::make_unique<TKeltroSite>(manager);
        TKeltroSiteDefinition d;
        d.SiteName = "site " + std::to_string(i);
        d.ScheduleEnabled = true;
        d.ScheduleFrequency = static_cast<TScheduleFrequency>(i % 4);
        d.StartDate = TDateTime::EncodeDate(2024, 1 + i % 12, 1 + i % 31 % 28);
        d.StartTime = TDateTime::EncodeTime(i % 24, i % 60, 0);
        d.LastBackup = now.AddDays(0.001); // ran just now: the window moves on, nothing due
        site->SetDefinition(d);
        manager.Add(std::move(site));
    }
    std::vector<double> ms;
    for (int round = 0; round < 50; ++round) {
        const auto start = Clock::now();
        CheckSchedules(now);
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    int queued = 0;
    for (const TKeltroSite& site : manager.Sites())
        queued += site.IsNotBusy() ? 0 : 1;
    std::printf("CheckSchedules over %d scheduled idle sites: median %.3f ms, p95 %.3f ms "
                "(target < 5 ms; %d queued)\n",
                count, percentile(ms, 0.5), percentile(ms, 0.95), queued);
    TKeltroSiteManager::Release();
    ReleaseDatabaseConnection();
    fs::remove_all(folder);
}

// `gap` between events: none for a worker streaming progress, 1 ms for events that find the UI
// loop asleep.
void benchEventHandOver(int events, std::chrono::microseconds gap, const char* what) {
    TLoopDispatcher dispatcher;
    std::atomic<bool> done{false};
    std::vector<double> us;
    us.reserve(static_cast<size_t>(events));
    int64_t handled = 0; // UI thread only
    std::thread worker([&] {
        for (int i = 0; i < events; ++i) {
            const auto start = Clock::now();
            dispatcher.Synchronize([&] { ++handled; });
            us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
            if (gap.count() > 0)
                std::this_thread::sleep_for(gap);
        }
        done = true;
        dispatcher.Wake();
    });
    dispatcher.WaitFor([&] { return done.load(); }, std::chrono::minutes(5));
    worker.join();
    std::printf("Worker event handed to the UI thread and waited for, %s (%lld events): median "
                "%.1f us, p95 %.1f us, p99 %.1f us (target median < 50 us)\n",
                what, static_cast<long long>(handled), percentile(us, 0.5), percentile(us, 0.95),
                percentile(us, 0.99));
}

} // namespace

int main(int argc, char** argv) {
    const int sites = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int events = argc > 2 ? std::atoi(argv[2]) : 20000;
    benchCheckSchedules(sites);
    benchEventHandOver(events, std::chrono::microseconds(0), "back to back");
    benchEventHandOver(std::min(events, 2000), std::chrono::microseconds(1000), "1 ms apart");
    return 0;
}
