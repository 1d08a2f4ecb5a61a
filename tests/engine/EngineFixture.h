#pragma once

#include "common/Sandbox.h"
#include "schedule/EngineLoop.h"
#include "sites/KeltroSite.h"
#include "sites/SiteManager.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace tlv::test {

// Records every notification of the sites it observes, and the most sites it ever saw running
// at once in each state.
class StatusRecorder : public ISiteObserver {
public:
    void SiteChanged(TKeltroSite& site) override;

    std::vector<TSiteStatus> StatusesOf(int32_t siteID) const;
    int MaxAtOnce(TSiteStatus status) const;

private:
    std::map<int32_t, TSiteStatus> m_current;
    std::map<int32_t, std::vector<TSiteStatus>> m_history;
    std::map<TSiteStatus, int> m_max;
};

// A headless program: a sandboxed database with the shipped languages, the site manager and the
// engine loop. Sites are added with a definition and stored.
class EngineTest : public ::testing::Test {
protected:
    EngineTest();
    ~EngineTest() override;

    TKeltroSite& AddSite(const TKeltroSiteDefinition& definition);
    bool RunUntil(const std::function<bool()>& done,
                  std::chrono::milliseconds timeout = std::chrono::seconds(60));
    // Waits until the site is idle or failed and none of its workers still runs.
    bool RunUntilSettled(TKeltroSite& site,
                         std::chrono::milliseconds timeout = std::chrono::seconds(60));
    void SetOption(const std::string& key, const std::string& value);

    Sandbox sandbox;
    std::unique_ptr<TEngineLoop> loop;
    StatusRecorder recorder;
};

// The messages of the site's log lines, without their time stamps.
std::vector<std::string> LogMessages(const TKeltroSite& site);

// Checks that `expected` appear in the log in this order (other lines may stand between);
// each entry matches a line that starts with it.
::testing::AssertionResult LogHasInOrder(const TKeltroSite& site,
                                         const std::vector<std::string>& expected);

} // namespace tlv::test
