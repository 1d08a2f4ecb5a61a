// The site store at scale: creates 10,000 sites, saves them (inserts, then updates), releases
// them, loads them again with Reload and looks each one up by id. Loading runs in a fresh
// child process so that its resident-memory figure is not flattered by memory the first
// phase freed.
//
//   bench_sites [count]            the whole run
//   bench_sites --load file count  the loading phase alone (started by the run)

#include "sites/SiteManager.h"
#include "storage/DatabaseConnection.h"
#include "storage/Paths.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace tlv;

namespace {

constexpr int kRounds = 5;

// Milliseconds taken by `body`.
double timeMs(const std::function<void()>& body) {
    const auto start = std::chrono::steady_clock::now();
    body();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

struct Figures {
    double best = 0;
    double median = 0;
};

Figures summarise(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return {samples.front(), samples[samples.size() / 2]};
}

// Resident memory of this process in kilobytes.
long residentKB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

// A site as a user would have it: every text filled in, several longer than a short string.
TKeltroSiteDefinition realisticDefinition(int n) {
    const std::string tag = std::to_string(n);
    TKeltroSiteDefinition d;
    d.SiteName = "Customer site number " + tag;
    d.URL = "www.customer-" + tag + ".example.com/index.php?option=com_keltro&view=xmlrpc";
    d.Port = 443;
    d.UseSSL = true;
    d.Username = "backup-operator-" + tag;
    d.Password = "a rather long secret " + tag;
    d.Profile = 1;
    d.CertificateSignature = "3f:a2:19:c4:7e:00:5b:d1:88:2a:6c:f0:14:9e:b7:43:d2:01:7a:ce";
    d.FTPHost = "ftp.customer-" + tag + ".example.com";
    d.FTPUsername = "ftp-backup-" + tag;
    d.FTPPassword = "another long secret " + tag;
    d.FTPPort = 21;
    d.FTPInitialDirectory = "/administrator/components/com_keltro/backup";
    d.DownloadWhenDone = true;
    d.DownloadDirectory = "/home/user/Backups/customer-" + tag;
    d.ScheduleEnabled = n % 2 == 0;
    d.ScheduleFrequency = static_cast<TScheduleFrequency>(n % 4);
    d.StartDate = TDateTime::EncodeDate(2024, 1 + n % 12, 1 + n % 28);
    d.StartTime = TDateTime::EncodeTime(n % 24, n % 60, 0);
    d.LastBackup = TDateTime::Encode(2026, 1 + n % 12, 1 + n % 28, n % 24, n % 60, n % 60);
    d.Throttling = n % 5;
    return d;
}

int loadPhase(const std::string& file, int count) {
    SetDatabaseFileOverride(file);
    DatabaseConnection();
    const long before = residentKB();

    std::vector<double> reloads;
    std::vector<double> lookups;
    long after = 0;
    int found = 0;
    for (int round = 0; round < kRounds; ++round) {
        TKeltroSiteManager manager;
        reloads.push_back(timeMs([&] { manager.Reload(); }));
        if (round == 0)
            after = residentKB();
        lookups.push_back(timeMs([&] {
            for (const TKeltroSite& site : manager.Sites())
                found += manager.IndexOfID(site.Definition().SiteID) >= 0;
        }));
        if (manager.Count() != count) {
            std::fprintf(stderr, "loaded %d sites instead of %d\n", manager.Count(), count);
            return 1;
        }
    }
    const Figures reload = summarise(reloads);
    const Figures lookup = summarise(lookups);
    std::printf("Reload of %d sites:          best %7.1f ms, median %7.1f ms (target < 150)\n",
                count, reload.best, reload.median);
    std::printf("IndexOfID of each of them:    best %7.2f ms, median %7.2f ms (%.0f ns each)\n",
                lookup.best, lookup.median, lookup.median * 1e6 / count);
    std::printf("Resident memory:              %.1f MB before loading, %.1f MB with the sites "
                "loaded: %.1f MB for the sites (target < 30)\n",
                before / 1024.0, after / 1024.0, (after - before) / 1024.0);
    return found == count * kRounds ? 0 : 1;
}

int fullRun(int count) {
    std::string pattern = (fs::temp_directory_path() / "tolvane-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path folder = pattern;
    const std::string file = (folder / "tlv.sqlite").string();
    SetProgramPath((folder / "tolvane").string());
    SetDatabaseFileOverride(file);
    DatabaseConnection();

    std::vector<double> updates;
    double create = 0;
    double insert = 0;
    double release = 0;
    {
        auto manager = std::make_unique<TKeltroSiteManager>();
        create = timeMs([&] {
            for (int n = 0; n < count; ++n) {
                auto site = std::make_unique<TKeltroSite>(*manager);
                site->SetDefinition(realisticDefinition(n));
                manager->Add(std::move(site));
            }
        });
        insert = timeMs([&] { manager->SaveAll(); });
        for (int round = 0; round < kRounds; ++round)
            updates.push_back(timeMs([&] { manager->SaveAll(); }));
        release = timeMs([&] { manager.reset(); });
    }
    ReleaseDatabaseConnection();

    const Figures update = summarise(updates);
    std::printf("Create %d sites in memory:   %7.1f ms\n", count, create);
    std::printf("SaveAll, every site new:      %7.1f ms (target < 300)\n", insert);
    std::printf("SaveAll, every site stored:   best %7.1f ms, median %7.1f ms (target < 300)\n",
                update.best, update.median);
    std::printf("Release of the manager:       %7.1f ms\n", release);
    std::fflush(stdout);

    const std::string countText = std::to_string(count);
    const pid_t child = fork();
    if (child == 0) {
        execl("/proc/self/exe", "bench_sites", "--load", file.c_str(), countText.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = -1;
    if (child > 0)
        waitpid(child, &status, 0);
    std::error_code ec;
    fs::remove_all(folder, ec);
    return child > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    try {
        if (argc == 4 && std::string(argv[1]) == "--load")
            return loadPhase(argv[2], std::atoi(argv[3]));
        return fullRun(argc > 1 ? std::atoi(argv[1]) : 10'000);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_sites: %s\n", e.what());
        return 1;
    }
}
