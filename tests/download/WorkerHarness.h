#pragma once

#include "common/Sandbox.h"
#include "core/Dispatcher.h"
#include "download/FTPThread.h"
#include "storage/Translate.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace tlv::test {

// Runs download workers the way a site does: events bound before LoadSiteDefinition, the UI
// side driven by a loop dispatcher, every wait bounded. Records what the site would see.
class WorkerHarness : public ::testing::Test {
protected:
    struct Events {
        std::vector<std::string> log;
        std::vector<std::string> failures;
        std::vector<std::pair<int64_t, int64_t>> progress;
        int complete = 0;
    };

    WorkerHarness() {
        m_sandbox.UseDatabase();
        m_sandbox.InstallLanguages();
        JTranslate::Instance(); // built on the UI thread before any worker looks up
        std::filesystem::create_directories(Downloads());
    }

    TKeltroSiteDefinition Definition(int port) const {
        TKeltroSiteDefinition d;
        d.SiteID = 7;
        d.FTPHost = "127.0.0.1";
        d.FTPPort = port;
        d.FTPUsername = "bob";
        d.FTPPassword = "secret";
        d.FTPInitialDirectory = "/backups";
        d.DownloadDirectory = Downloads().string();
        return d;
    }

    std::filesystem::path Downloads() const { return m_sandbox.Path("downloads"); }

    // A worker with its events bound to `events`; `onLog` runs on the UI thread after each
    // log line is recorded (a test aborts from there, as a user would at that moment).
    std::unique_ptr<TFTPThread> Make(const std::vector<std::string>& names, Events& events,
                                     bool logMode = false) {
        auto worker = std::make_unique<TFTPThread>(m_ui, 7, logMode, names);
        TFTPThread* w = worker.get();
        worker->OnLog = [&events, this](const std::string& line) {
            events.log.push_back(line);
            if (m_onLog)
                m_onLog(line);
        };
        worker->OnFailure = [&events, w](int32_t site, const std::string& message) {
            EXPECT_EQ(site, 7);
            EXPECT_EQ(message, w->ErrorMessage());
            events.failures.push_back(message);
        };
        worker->OnProgress = [&events, this](int32_t, int64_t done, int64_t size) {
            events.progress.emplace_back(done, size);
            if (m_onProgress)
                m_onProgress(done);
        };
        worker->OnComplete = [&events](int32_t site) {
            EXPECT_EQ(site, 7);
            ++events.complete;
        };
        return worker;
    }

    // Starts the worker and processes its events until the run ended.
    void Run(TFTPThread& worker, std::chrono::seconds limit = std::chrono::seconds(60)) {
        worker.Start();
        ASSERT_TRUE(m_ui.WaitFor([&] { return worker.Ended(); }, limit));
        worker.Join();
    }

    static bool Contains(const std::vector<std::string>& lines, const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    Sandbox m_sandbox;
    TLoopDispatcher m_ui;
    std::function<void(const std::string&)> m_onLog;
    std::function<void(int64_t)> m_onProgress;
};

} // namespace tlv::test
