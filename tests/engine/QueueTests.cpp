// The queues with real backup workers: sites with a long throttling pause stay BackupRunning
// until the test aborts them, which makes every slot change the test's own doing.

#include "common/XmlRpcPeer.h"
#include "core/Exceptions.h"
#include "download/FTPThread.h"
#include "engine/EngineFixture.h"
#include "remote/BackupThread.h"
#include "schedule/ScheduleRunner.h"
#include "sites/Queues.h"
#include "storage/DatabaseConnection.h"

#include <system_error>

namespace tlv::test {
namespace {

using std::chrono::milliseconds;

class Queues : public EngineTest {
protected:
    void SetUp() override {
        server = std::make_unique<XmlRpcPeer>(sandbox.Path("xmlrpc"),
                                              std::vector<std::string>{"--steps", "50"});
    }

    std::vector<TKeltroSite*> AddSites(int count) {
        std::vector<TKeltroSite*> sites;
        for (int i = 0; i < count; ++i) {
            TKeltroSiteDefinition d;
            d.SiteName = "site " + std::to_string(i + 1);
            d.URL = "127.0.0.1" + XmlRpcPeer::Path();
            d.Port = server->Port();
            d.Username = XmlRpcPeer::User();
            d.Password = XmlRpcPeer::Password();
            d.Throttling = 60; // runs until aborted
            sites.push_back(&AddSite(d));
        }
        return sites;
    }

    static std::vector<TSiteStatus> Statuses(const std::vector<TKeltroSite*>& sites) {
        std::vector<TSiteStatus> statuses;
        for (TKeltroSite* site : sites)
            statuses.push_back(site->Metadata().Status);
        return statuses;
    }

    void AbortAllAndSettle(const std::vector<TKeltroSite*>& sites) {
        for (TKeltroSite* site : sites)
            site->AbortBackup();
        for (TKeltroSite* site : sites)
            ASSERT_TRUE(RunUntilSettled(*site));
    }

    std::unique_ptr<XmlRpcPeer> server;
};

TEST_F(Queues, LimitsOrderAbortAndARaisedLimit) {
    using S = TSiteStatus;
    SetOption("BackupQueueSize", "2");
    auto sites = AddSites(5);
    for (TKeltroSite* site : sites)
        site->StartBackup(nullptr);
    EXPECT_EQ(Statuses(sites), (std::vector<S>{S::BackupRunning, S::BackupRunning,
                                               S::BackupQueued, S::BackupQueued,
                                               S::BackupQueued}));

    // Aborting a waiting site leaves the others' order.
    sites[3]->AbortBackup();
    EXPECT_EQ(sites[3]->Metadata().Status, S::Idle);
    EXPECT_EQ(BackupQueue().Waiting(), (std::vector<TKeltroSite*>{sites[2], sites[4]}));
    EXPECT_TRUE(sites[3]->Log().empty()); // nothing logged, nothing written

    // A freed slot goes to the oldest waiting site.
    sites[0]->AbortBackup();
    EXPECT_EQ(sites[0]->Metadata().Status, S::Idle);
    EXPECT_EQ(sites[2]->Metadata().Status, S::BackupRunning);
    EXPECT_EQ(sites[4]->Metadata().Status, S::BackupQueued);

    // A raised limit takes effect at the next queue tick, without any other event.
    SetOption("BackupQueueSize", "3");
    EXPECT_TRUE(RunUntil([&] { return sites[4]->Metadata().Status == S::BackupRunning; },
                         milliseconds(1500)));
    EXPECT_EQ(recorder.MaxAtOnce(S::BackupRunning), 3);

    // The aborted run's worker winds down, reports once more and the site stays Idle.
    ASSERT_TRUE(RunUntilSettled(*sites[0]));
    EXPECT_EQ(sites[0]->Metadata().Status, S::Idle);
    EXPECT_TRUE(LogHasInOrder(*sites[0], {"ABORTING BACKUP", "Got backup progress signal"}));
    AbortAllAndSettle(sites);
}

TEST_F(Queues, LimitZeroStartsNothingAndABadLimitStopsTheQueue) {
    SetOption("BackupQueueSize", "0");
    auto sites = AddSites(1);
    sites[0]->StartBackup(nullptr);
    RunUntil([] { return false; }, milliseconds(1200));
    EXPECT_EQ(sites[0]->Metadata().Status, TSiteStatus::BackupQueued);

    SetOption("BackupQueueSize", "abc");
    EXPECT_THROW(BackupQueue().Process(), EConvertError);
    RunUntil([] { return false; }, milliseconds(1200));
    EXPECT_NE(loop->LastTickError().find("abc"), std::string::npos);
    EXPECT_EQ(sites[0]->Metadata().Status, TSiteStatus::BackupQueued);
    // Every later pass fails the same way, an abort's included.
    EXPECT_THROW(sites[0]->AbortBackup(), EConvertError);
    SetOption("BackupQueueSize", "0");
}

TEST_F(Queues, QueueingABusySiteIsRefused) {
    SetOption("BackupQueueSize", "0");
    auto sites = AddSites(1);
    sites[0]->StartBackup(nullptr);
    try {
        sites[0]->StartBackup(nullptr);
        FAIL() << "a queued site was queued again";
    } catch (const EKTAlreadyRunning& e) {
        EXPECT_STREQ(e.what(), "Site already running");
    }
    EXPECT_THROW(sites[0]->StartDownload(nullptr), EKTAlreadyRunning);
    sites[0]->AbortBackup();
}

// A factory whose backup workers cannot be created for one site.
class FailingFactory : public IWorkerFactory {
public:
    explicit FailingFactory(std::string failingSite) : m_failingSite(std::move(failingSite)) {}
    std::string nextSite;
    std::unique_ptr<TBackupThread> CreateBackupThread(IUIDispatcher& ui) override {
        if (nextSite == m_failingSite)
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                    "Thread creation error");
        return std::make_unique<TBackupThread>(ui);
    }
    std::unique_ptr<TFTPThread> CreateDownloadThread(IUIDispatcher&, int32_t, bool,
                                                     const TKeltroBackupFilenames&) override {
        return nullptr;
    }

private:
    std::string m_failingSite;
};

TEST_F(Queues, AWorkerThatCannotStartFailsTheSiteAndFreesItsSlot) {
    SetOption("BackupQueueSize", "1");
    auto sites = AddSites(2);
    FailingFactory factory("site 1");
    TKeltroSite::SetWorkerFactory(&factory);
    // The factory learns which site asks from the order of the queue: site 1 first.
    factory.nextSite = "site 1";
    sites[0]->StartBackup(nullptr);
    EXPECT_EQ(sites[0]->Metadata().Status, TSiteStatus::Failed);
    factory.nextSite = "site 2";
    sites[1]->StartBackup(nullptr);
    EXPECT_EQ(sites[1]->Metadata().Status, TSiteStatus::BackupRunning);
    EXPECT_NE(sites[0]->Metadata().LastError.find("Thread creation error"), std::string::npos);
    EXPECT_EQ(sites[0]->Metadata().Response.Error, sites[0]->Metadata().LastError);
    EXPECT_TRUE(LogHasInOrder(*sites[0], {"Creating new backup thread", "Backup failure:",
                                          sites[0]->Metadata().LastError}));
    EXPECT_TRUE(BackupQueue().Running() == std::vector<TKeltroSite*>{sites[1]});
    AbortAllAndSettle(sites);
}

TEST_F(Queues, ADeletedSiteWaitsForItsWindingDownWorker) {
    auto sites = AddSites(1);
    TKeltroSite& site = *sites[0];
    site.StartBackup(nullptr);
    ASSERT_TRUE(RunUntil([&] { return site.Metadata().Response.Step != ""; }));
    site.AbortBackup(); // Idle at once; the worker still winds down
    const TBackupThread* worker = site.BackupWorker();
    ASSERT_NE(worker, nullptr);
    ASSERT_FALSE(worker->Ended());
    site.Delete(); // returns only once the worker has ended, its last report delivered
    EXPECT_EQ(TKeltroSiteManager::Instance().Count(), 0);
    EXPECT_TRUE(BackupQueue().Running().empty());
    // Nothing of it is left to report to anyone.
    RunUntil([] { return false; }, milliseconds(200));
}

TEST_F(Queues, ScheduledBackupsAreQueuedAndAnAbortedQueuedOneComesBack) {
    SetOption("BackupQueueSize", "0");
    auto sites = AddSites(3);
    TKeltroSiteDefinition due = sites[0]->Definition();
    due.ScheduleEnabled = true;
    due.StartTime = TDateTime::EncodeTime(2, 0, 0);
    sites[0]->SetDefinition(due); // never backed up: due at once
    TKeltroSiteDefinition later = sites[1]->Definition();
    later.ScheduleEnabled = true;
    later.StartTime = TDateTime::EncodeTime(2, 0, 0);
    later.LastBackup = TDateTime::Encode(2026, 12, 11, 2, 30, 0);
    sites[1]->SetDefinition(later); // ran after today's occurrence
    // sites[2] has no schedule.

    const TDateTime now = TDateTime::Encode(2026, 12, 11, 10, 0, 0);
    CheckSchedules(now);
    EXPECT_EQ(sites[0]->Metadata().Status, TSiteStatus::BackupQueued);
    EXPECT_EQ(sites[1]->Metadata().Status, TSiteStatus::Idle);
    EXPECT_EQ(sites[2]->Metadata().Status, TSiteStatus::Idle);

    // Aborted while it waits, it keeps its last backup time and is queued again.
    const TDateTime lastBackup = sites[0]->Definition().LastBackup;
    sites[0]->AbortBackup();
    EXPECT_EQ(sites[0]->Definition().LastBackup, lastBackup);
    CheckSchedules(now);
    EXPECT_EQ(sites[0]->Metadata().Status, TSiteStatus::BackupQueued);

    // Busy sites are left alone.
    CheckSchedules(now);
    EXPECT_EQ(BackupQueue().Waiting().size(), 1u);
    sites[0]->AbortBackup();

    // Tomorrow after two the second site is due too.
    CheckSchedules(TDateTime::Encode(2026, 12, 12, 2, 0, 0));
    EXPECT_EQ(sites[1]->Metadata().Status, TSiteStatus::BackupQueued);
    sites[0]->AbortBackup();
    sites[1]->AbortBackup();
}

} // namespace
} // namespace tlv::test
