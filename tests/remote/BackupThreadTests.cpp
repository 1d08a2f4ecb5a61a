#include "RemoteTestSupport.h"
#include "common/HttpProxy.h"
#include "common/Sandbox.h"
#include "core/Dispatcher.h"
#include "remote/BackupThread.h"
#include "storage/Translate.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace tlv {
namespace {

using namespace std::chrono_literals;
using test::XmlRpcPeer;

const std::string kFilename = "site-www.example.com-20240301-101500.kta";

class BackupWorker : public testing::Test {
protected:
    void SetUp() override {
        sandbox.UseDatabase();
        sandbox.InstallLanguages();
        JTranslate::Instance();
    }

    // Wired in the order a site uses: OnLog before the definition is loaded, the rest after.
    std::unique_ptr<TBackupThread> make(const TKeltroSiteDefinition& site) {
        auto worker = std::make_unique<TBackupThread>(ui);
        worker->OnLog = [this](const std::string& line) {
            onUI();
            // The call layer's request and reply lines are checked elsewhere.
            if (line.rfind("POST: ", 0) != 0 && line.rfind("GOT:  ", 0) != 0)
                events.push_back("log:" + line);
            if (onLine)
                onLine(line);
        };
        worker->LoadSiteDefinition(site);
        worker->OnStep = [this](const TKeltroKOVAResponse& response, const std::string& error,
                                int32_t siteID) {
            onUI();
            EXPECT_EQ(siteID, 7);
            events.push_back("step");
            steps.push_back(response);
            stepErrors.push_back(error);
            if (onStep)
                onStep();
        };
        worker->OnFilename = [this](int32_t siteID, const std::string& name) {
            onUI();
            EXPECT_EQ(siteID, 7);
            events.push_back("filename:" + name);
        };
        worker->OnParts = [this](int32_t siteID, const TKeltroBackupFilenames& parts) {
            onUI();
            EXPECT_EQ(siteID, 7);
            events.push_back("parts:" + std::to_string(parts.size()));
        };
        worker->OnFinished = [this](int32_t siteID) {
            onUI();
            EXPECT_EQ(siteID, 7);
            events.push_back("finished");
        };
        return worker;
    }

    void runToEnd(TBackupThread& worker, std::chrono::milliseconds timeout = 60s) {
        worker.Start();
        ASSERT_TRUE(ui.WaitFor([&] { return worker.Ended(); }, timeout));
        worker.Join();
    }

    void onUI() { EXPECT_EQ(std::this_thread::get_id(), m_uiThread); }

    // Events after the definition's log lines.
    std::vector<std::string> runEvents() const {
        std::vector<std::string> tail;
        for (const auto& event : events)
            if (event.rfind("log:Initializing XML-RPC", 0) != 0 &&
                event.rfind("log:Host / Port", 0) != 0 && event.rfind("log:Using ", 0) != 0 &&
                event.rfind("log:WARNING!", 0) != 0)
                tail.push_back(event);
        return tail;
    }

    size_t count(const std::string& event) const {
        return static_cast<size_t>(std::count(events.begin(), events.end(), event));
    }

    test::Sandbox sandbox;
    TLoopDispatcher ui;
    std::vector<std::string> events;
    std::vector<TKeltroKOVAResponse> steps;
    std::vector<std::string> stepErrors;
    std::function<void(const std::string&)> onLine;
    std::function<void()> onStep;

private:
    std::thread::id m_uiThread = std::this_thread::get_id();
};

const std::vector<std::string> kWholeRun = {
    "log:Initializing remote backup",
    "step",
    "log:Retrieving remote filename",
    "filename:" + kFilename,
    "log:Ticking remote backup engine",
    "step",
    "log:Ticking remote backup engine",
    "step",
    "log:Ticking remote backup engine",
    "step",
    "log:Getting the API version",
    "log:Retrieving filenames of the backup file's parts",
    "parts:3",
    "finished",
};

TEST_F(BackupWorker, WholeRunOverHttp) {
    XmlRpcPeer peer(sandbox.Path("peer"), {"--steps", "3", "--parts", "3"});
    auto worker = make(test::SiteFor(peer));
    EXPECT_EQ(events.size(), 3u) << "the definition's lines are logged at once";
    runToEnd(*worker);

    EXPECT_EQ(runEvents(), kWholeRun);
    EXPECT_EQ(peer.Calls(), (std::vector<std::string>{
                                "keltro.startBackup", "keltro.getFilename", "keltro.continueBackup",
                                "keltro.continueBackup", "keltro.continueBackup", "keltro.getAPI",
                                "keltro.getParts"}));
    ASSERT_EQ(steps.size(), 4u);
    EXPECT_EQ(steps[0].Domain, "init");
    EXPECT_EQ(steps[1].Substep, "Adding installation/index.php");
    EXPECT_TRUE(steps.back().IsFinished);
    EXPECT_EQ(stepErrors, std::vector<std::string>(4));
    EXPECT_TRUE(worker->LastError().empty());
    for (const auto& request : peer.Requests())
        EXPECT_EQ(request.Body.find("<int>-1</int>"), std::string::npos);
}

TEST_F(BackupWorker, ApiVersionDecidesAboutParts) {
    struct Case {
        const char* version;
        bool parts;
    };
    for (const Case c : {Case{"2.0", false}, Case{"1.5", false}, Case{"2.1", true},
                         Case{"10.0", true}, Case{"3", true}}) {
        SCOPED_TRACE(c.version);
        events.clear();
        XmlRpcPeer peer(sandbox.Path(std::string("peer-") + c.version),
                        {"--api-version", c.version, "--steps", "1"});
        auto worker = make(test::SiteFor(peer));
        runToEnd(*worker);
        const auto calls = peer.Calls();
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "keltro.getParts"), c.parts ? 1 : 0);
        EXPECT_EQ(count("log:The site's API version (" + std::string(c.version) +
                        ") does not support multipart backups; skipping multipart detection."),
                  c.parts ? 0u : 1u);
        EXPECT_EQ(count("parts:3"), c.parts ? 1u : 0u);
        EXPECT_EQ(events.back(), "finished");
    }
}

// Server quirks that the call layer absorbs: text printed ahead of the XML declaration, and
// empty step members written in the odd forms that the fix-ups turn into empty strings.
TEST_F(BackupWorker, ServerQuirksDoNotDisturbTheRun) {
    const std::vector<std::vector<std::string>> quirks = {
        {"--prefix", "<br />\n<b>Deprecated</b>: Function ereg() is deprecated in <b>x.php</b>\n"},
        {"--empty-style", "value"},
        {"--empty-style", "blank"},
    };
    int round = 0;
    for (const auto& quirk : quirks) {
        SCOPED_TRACE(quirk[0] + " " + quirk[1]);
        events.clear();
        steps.clear();
        std::vector<std::string> options = {"--steps", "3"};
        options.insert(options.end(), quirk.begin(), quirk.end());
        XmlRpcPeer peer(sandbox.Path("peer" + std::to_string(++round)), options);
        auto worker = make(test::SiteFor(peer));
        runToEnd(*worker);
        EXPECT_EQ(runEvents(), kWholeRun);
        ASSERT_EQ(steps.size(), 4u);
        // The last step reply has an empty Substep: read as such, it replaces the one before.
        EXPECT_EQ(steps[2].Substep, "Dumping table #__content");
        EXPECT_EQ(steps[3].Substep, "");
        EXPECT_EQ(steps[3].Error, "");
    }
}

// The fix-ups start with the first continue call, so a start reply that writes an empty member
// as "<string></nil></string>" is not XML at all and ends the run.
TEST_F(BackupWorker, StartReplyThatIsNotWellFormedEndsTheRun) {
    XmlRpcPeer peer(sandbox.Path("peer"), {"--empty-style", "nil"});
    auto worker = make(test::SiteFor(peer));
    runToEnd(*worker);
    EXPECT_EQ(peer.Calls(), std::vector<std::string>{"keltro.startBackup"});
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_EQ(stepErrors[0].rfind("Malformed XML-RPC response from the server: mismatched tag", 0),
              0u)
        << stepErrors[0];
}

TEST_F(BackupWorker, RunsOverHttpsWithPinAndThroughTheProxy) {
    const auto& certificate = test::SelfSignedCertificate();
    const std::string pin = test::OpenSslSignatureText(certificate.LeafFile);
    test::HttpProxy proxy(sandbox.Path("proxy"), "proxyuser", "proxy-secret");
    struct Case {
        const char* name;
        bool https;
        bool viaProxy;
    };
    for (const Case c : {Case{"https", true, false}, Case{"http via proxy", false, true},
                         Case{"https via proxy", true, true}}) {
        SCOPED_TRACE(c.name);
        events.clear();
        std::vector<std::string> options = {"--steps", "3"};
        if (c.https)
            options.insert(options.end(),
                           {"--cert", certificate.CertFile, "--key", certificate.KeyFile});
        XmlRpcPeer peer(sandbox.Path(c.name), options);
        TKeltroSiteDefinition site = test::SiteFor(peer, c.https, c.https ? pin : "");
        if (c.viaProxy) {
            site.ProxyServer = "127.0.0.1";
            site.ProxyPort = proxy.Port();
            site.ProxyUsername = "proxyuser";
            site.ProxyPassword = "proxy-secret";
            site.BasicAuthentication = true;
        }
        const size_t proxied = proxy.Log().size();
        auto worker = make(site);
        runToEnd(*worker);
        EXPECT_EQ(runEvents(), kWholeRun);
        const std::string proxyLog = proxy.Log().substr(proxied);
        EXPECT_EQ(proxyLog.find(std::to_string(peer.Port())) != std::string::npos, c.viaProxy);
    }
}

// Each failure ends the run with one step report that carries the message, and nothing after.
TEST_F(BackupWorker, FailuresEndTheRunWithTheirMessage) {
    const auto& certificate = test::SelfSignedCertificate();
    struct Case {
        const char* name;
        std::vector<std::string> options;
        std::string pin; // with a pin the site uses HTTPS
        std::string message;
        std::vector<std::string> calls;
    };
    const std::string empty = "The xml-rpc server returned a empty response";
    const std::vector<std::string> upToFirstStep = {"keltro.startBackup", "keltro.getFilename",
                                                    "keltro.continueBackup"};
    const std::vector<Case> cases = {
        {"wrong pin",
         {"--cert", certificate.CertFile, "--key", certificate.KeyFile},
         "00:11:22",
         empty,
         {}},
        {"fault at start",
         {"--fault", "keltro.startBackup:500:Another backup is already running"},
         "",
         "Another backup is already running",
         {"keltro.startBackup"}},
        {"filename fails",
         {"--fault", "keltro.getFilename:404:No such profile"},
         "",
         "No such profile",
         {"keltro.startBackup", "keltro.getFilename"}},
        {"error member at step 2",
         {"--steps", "4", "--error-at", "2:Could not write to the archive"},
         "",
         "Could not write to the archive",
         {"keltro.startBackup", "keltro.getFilename", "keltro.continueBackup",
          "keltro.continueBackup"}},
        {"dropped connection", {"--drop", "keltro.continueBackup:1"}, "", empty, upToFirstStep},
        {"parts fail",
         {"--steps", "1", "--fault", "keltro.getParts:500:Archive not found"},
         "",
         "Archive not found",
         {"keltro.startBackup", "keltro.getFilename", "keltro.continueBackup", "keltro.getAPI",
          "keltro.getParts"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        events.clear();
        steps.clear();
        stepErrors.clear();
        XmlRpcPeer peer(sandbox.Path(c.name), c.options);
        auto worker = make(test::SiteFor(peer, !c.pin.empty(), c.pin));
        runToEnd(*worker);
        EXPECT_EQ(peer.Calls(), c.calls);
        ASSERT_FALSE(steps.empty());
        EXPECT_EQ(events.back(), "step");
        EXPECT_EQ(count("finished"), 0u);
        EXPECT_EQ(stepErrors.back(), c.message);
        EXPECT_EQ(steps.back().Error, Translate("ERR_XMLRPCLAYER") + c.message);
        EXPECT_EQ(worker->LastError(), c.message);
    }
}

TEST_F(BackupWorker, StopBeforeTheRunGivesOneStepReport) {
    XmlRpcPeer peer(sandbox.Path("peer"));
    auto worker = make(test::SiteFor(peer));
    worker->Terminate();
    EXPECT_TRUE(worker->Terminated());
    runToEnd(*worker);
    EXPECT_EQ(runEvents(), std::vector<std::string>{"step"});
    EXPECT_TRUE(peer.Calls().empty());
    EXPECT_EQ(stepErrors, std::vector<std::string>{""});
}

TEST_F(BackupWorker, StopAfterTheStartReplyGivesTwoStepReports) {
    XmlRpcPeer peer(sandbox.Path("peer"));
    auto worker = make(test::SiteFor(peer));
    onStep = [&] { worker->Terminate(); };
    runToEnd(*worker);
    EXPECT_EQ(runEvents(),
              (std::vector<std::string>{"log:Initializing remote backup", "step", "step"}));
    EXPECT_EQ(peer.Calls(), std::vector<std::string>{"keltro.startBackup"});
    EXPECT_EQ(stepErrors, (std::vector<std::string>{"", ""}));
    EXPECT_EQ(steps.back().Domain, "init");
}

TEST_F(BackupWorker, StopDuringThrottlingIsSeenWithin100ms) {
    XmlRpcPeer peer(sandbox.Path("peer"), {"--steps", "3"});
    TKeltroSiteDefinition site = test::SiteFor(peer);
    site.Throttling = 30;
    auto worker = make(site);
    std::chrono::steady_clock::time_point stopAt;
    onLine = [&](const std::string& line) {
        if (line == "Throttling; waiting for 30 seconds") {
            stopAt = std::chrono::steady_clock::now();
            worker->Terminate();
        }
    };
    runToEnd(*worker, 20s);
    const auto took = std::chrono::steady_clock::now() - stopAt;
    EXPECT_LT(took, 600ms) << "100 ms steps, plus slack for sanitizers";
    EXPECT_EQ(runEvents(),
              (std::vector<std::string>{"log:Initializing remote backup", "step",
                                        "log:Retrieving remote filename", "filename:" + kFilename,
                                        "log:Ticking remote backup engine",
                                        "log:Throttling; waiting for 30 seconds", "step"}));
    EXPECT_EQ(stepErrors.back(), "");
}

TEST_F(BackupWorker, ThrottlingPausesAfterEveryContinueCall) {
    XmlRpcPeer peer(sandbox.Path("peer"), {"--steps", "2"});
    TKeltroSiteDefinition site = test::SiteFor(peer);
    site.Throttling = 1;
    auto worker = make(site);
    const auto start = std::chrono::steady_clock::now();
    runToEnd(*worker);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 2s);
    const auto run = runEvents();
    const std::vector<std::string> pauseThenReport = {
        "log:Ticking remote backup engine", "log:Throttling; waiting for 1 seconds", "step"};
    EXPECT_EQ(std::vector<std::string>(run.begin() + 4, run.begin() + 7), pauseThenReport);
    EXPECT_EQ(std::vector<std::string>(run.begin() + 7, run.begin() + 10), pauseThenReport);
    EXPECT_EQ(run.back(), "finished");

    for (int throttling : {0, -5}) {
        events.clear();
        XmlRpcPeer other(sandbox.Path("peer" + std::to_string(throttling)), {"--steps", "2"});
        site = test::SiteFor(other);
        site.Throttling = throttling;
        auto unthrottled = make(site);
        runToEnd(*unthrottled);
        for (const auto& event : events)
            EXPECT_EQ(event.find("Throttling"), std::string::npos);
        EXPECT_EQ(events.back(), "finished");
    }
}

TEST_F(BackupWorker, SlowStepWithinTheInactivityLimitSucceeds) {
    XmlRpcPeer peer(sandbox.Path("peer"), {"--steps", "2", "--slow", "keltro.continueBackup:1:3"});
    auto worker = make(test::SiteFor(peer));
    runToEnd(*worker);
    EXPECT_EQ(events.back(), "finished");
}

TEST_F(BackupWorker, EndsWhenTheUISideShutsDown) {
    XmlRpcPeer peer(sandbox.Path("peer"), {"--steps", "50"});
    auto worker = make(test::SiteFor(peer));
    onStep = [&] { ui.Shutdown(); };
    worker->Start();
    // The dispatcher is shut down from inside the first step report; nothing more is delivered
    // and the worker must wind down by itself.
    ASSERT_TRUE(ui.WaitFor([&] { return worker->Ended(); }, 1s) ||
                test::WaitFor([&] { return worker->Ended(); }, 30s));
    worker->Join();
    EXPECT_EQ(count("step"), 1u);
    EXPECT_LE(peer.Calls().size(), 2u);
}

TEST_F(BackupWorker, DestroyingAnUnstartedWorkerIsSafe) {
    auto worker = std::make_unique<TBackupThread>(ui);
    worker.reset();
}

} // namespace
} // namespace tlv
