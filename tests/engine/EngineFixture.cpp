#include "engine/EngineFixture.h"

#include "download/FTPThread.h"
#include "remote/BackupThread.h"
#include "sites/Queues.h"
#include "storage/Options.h"
#include "storage/Translate.h"

#include <algorithm>

namespace tlv::test {

void StatusRecorder::SiteChanged(TKeltroSite& site) {
    const int32_t id = site.Definition().SiteID;
    const TSiteStatus status = site.Metadata().Status;
    m_current[id] = status;
    m_history[id].push_back(status);
    std::map<TSiteStatus, int> counts;
    for (const auto& [_, s] : m_current)
        ++counts[s];
    for (const auto& [s, count] : counts)
        m_max[s] = std::max(m_max[s], count);
}

std::vector<TSiteStatus> StatusRecorder::StatusesOf(int32_t siteID) const {
    auto it = m_history.find(siteID);
    return it == m_history.end() ? std::vector<TSiteStatus>{} : it->second;
}

int StatusRecorder::MaxAtOnce(TSiteStatus status) const {
    auto it = m_max.find(status);
    return it == m_max.end() ? 0 : it->second;
}

EngineTest::EngineTest() {
    sandbox.UseDatabase();
    sandbox.InstallLanguages();
    JTranslate::Instance();
    TKeltroSiteManager::Instance();
    loop = std::make_unique<TEngineLoop>(/*runSchedule=*/false);
}

EngineTest::~EngineTest() {
    BackupQueue().Clear();
    DownloadQueue().Clear();
    // Stops the workers and waits for them before the dispatcher they report to goes.
    loop.reset();
    TKeltroSiteManager::Release();
    TKeltroSite::SetWorkerFactory(nullptr);
}

TKeltroSite& EngineTest::AddSite(const TKeltroSiteDefinition& definition) {
    auto& manager = TKeltroSiteManager::Instance();
    auto site = std::make_unique<TKeltroSite>(manager);
    site->SetDefinition(definition);
    site->Save();
    TKeltroSite& added = manager.Add(std::move(site));
    added.AddObserver(recorder);
    return added;
}

bool EngineTest::RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    return loop->RunUntil(done, timeout);
}

bool EngineTest::RunUntilSettled(TKeltroSite& site, std::chrono::milliseconds timeout) {
    return RunUntil(
        [&] {
            const bool backupDone = !site.BackupWorker() || !site.BackupWorker()->Started() ||
                                    site.BackupWorker()->Ended();
            const bool downloadDone = !site.DownloadWorker() ||
                                      !site.DownloadWorker()->Started() ||
                                      site.DownloadWorker()->Ended();
            return site.IsNotBusy() && backupDone && downloadDone;
        },
        timeout);
}

void EngineTest::SetOption(const std::string& key, const std::string& value) {
    TOptionsRegistry::Instance().WriteOption(key, value);
}

std::vector<std::string> LogMessages(const TKeltroSite& site) {
    std::vector<std::string> messages;
    for (const std::string& line : site.Log()) {
        // "[dd/mm hh:nn:ss] " is 17 characters.
        messages.push_back(line.size() >= 17 ? line.substr(17) : line);
    }
    return messages;
}

::testing::AssertionResult LogHasInOrder(const TKeltroSite& site,
                                         const std::vector<std::string>& expected) {
    const auto messages = LogMessages(site);
    size_t next = 0;
    for (const std::string& message : messages)
        if (next < expected.size() && message.rfind(expected[next], 0) == 0)
            ++next;
    if (next == expected.size())
        return ::testing::AssertionSuccess();
    std::string all;
    for (const auto& m : messages)
        all += "\n  " + m;
    return ::testing::AssertionFailure()
           << "missing \"" << expected[next] << "\" (in order) in the log:" << all;
}

} // namespace tlv::test
