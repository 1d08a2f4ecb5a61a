#include "cli/EngineCommands.h"

#include "cli/CliSupport.h"
#include "cli/ProgressView.h"
#include "cli/SignalGuard.h"
#include "download/FTPThread.h"
#include "remote/BackupThread.h"
#include "schedule/EngineLoop.h"
#include "sites/BackupAdministration.h"
#include "sites/KeltroSite.h"
#include "sites/SiteManager.h"
#include "sites/SiteObserver.h"
#include "sites/StatusTexts.h"
#include "storage/DatabaseConnection.h"
#include "storage/Options.h"
#include "storage/Paths.h"
#include "storage/Translate.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <set>

namespace tlv::cli {

namespace {

using namespace std::chrono_literals;

// Idle or failed, with no worker of the site still winding down.
bool settled(const TKeltroSite& site) {
    auto ended = [](const TWorkerThread* worker) {
        return !worker || !worker->Started() || worker->Ended();
    };
    return site.IsNotBusy() && ended(site.BackupWorker()) && ended(site.DownloadWorker());
}

// No worker of the site runs: what an abort has to wait for. A site left queued (its queue could
// not be processed) runs nothing either.
bool quiet(const TKeltroSite& site) {
    auto ended = [](const TWorkerThread* worker) {
        return !worker || !worker->Started() || worker->Ended();
    };
    const TSiteStatus status = site.Metadata().Status;
    return status != TSiteStatus::BackupRunning && status != TSiteStatus::Downloading &&
           ended(site.BackupWorker()) && ended(site.DownloadWorker());
}

// A queue whose limit starts nothing would leave a command waiting for ever.
void requireQueueRoom(const char* sizeOptionKey) {
    int size = 0;
    try {
        size = ReadIntOption(sizeOptionKey, "2");
    } catch (const EConvertError& e) {
        throw ECliSetup(std::string("option ") + sizeOptionKey + ": " + e.what());
    }
    if (size <= 0)
        throw ECliSetup(std::string("option ") + sizeOptionKey + " is " + std::to_string(size) +
                        ": nothing would start");
}

TKeltroSite* siteByID(int32_t id) {
    for (TKeltroSite& site : TKeltroSiteManager::Instance().Sites())
        if (site.Definition().SiteID == id)
            return &site;
    return nullptr;
}

// One run of the engine for a command: the signal guard, the engine loop, the progress view,
// and what the sites did meanwhile.
class TEngineSession : public ISiteObserver {
public:
    TEngineSession(const TCommandLine& c, bool runSchedule, std::vector<int32_t> siteIDs)
        : m_signals(kExitSiteFailed), m_loop(runSchedule),
          m_out(c.Json ? stderr : stdout), // stdout carries the JSON document alone
          m_view(m_out, IsTerminal(m_out), siteIDs), m_siteIDs(std::move(siteIDs)) {
        observeSites();
    }

    ~TEngineSession() override {
        for (TKeltroSite& site : TKeltroSiteManager::Instance().Sites())
            site.RemoveObserver(*this);
    }

    // Every change of a watched site: which sites worked, and which downloaded.
    void SiteChanged(TKeltroSite& site) override {
        const TSiteStatus status = site.Metadata().Status;
        const int32_t id = site.Definition().SiteID;
        if (!IsNotBusy(status))
            m_worked.insert(id);
        if (status == TSiteStatus::Downloading)
            m_downloaded.insert(id);
        else if (status == TSiteStatus::BackupRunning)
            m_downloaded.erase(id);
    }

    // Runs the engine until `done` holds or a signal came; false when a signal ended it.
    // `idle` runs between the loop's passes as well.
    bool RunUntil(const std::function<bool()>& done, const std::function<void()>& idle = {}) {
        for (;;) {
            const bool finished = m_loop.RunUntil(
                [&] {
                    if (TSignalGuard::Raised() || !m_loop.LastTickError().empty())
                        return true;
                    m_view.Refresh();
                    if (idle)
                        idle();
                    return done();
                },
                1h);
            if (finished)
                break;
        }
        m_view.Refresh(true);
        return !TSignalGuard::Raised();
    }

    // Aborts whatever runs or waits, and waits (the engine still running) until no worker runs,
    // for a bounded time: a request in flight may keep its worker for minutes.
    void AbortAll() {
        m_loop.SetRunSchedule(false);
        for (TKeltroSite& site : TKeltroSiteManager::Instance().Sites()) {
            try {
                site.AbortBackup();
                site.AbortDownload();
            } catch (const EConvertError&) {
                // Taking a queued site out processes its queue, which fails for a limit that
                // does not read; the site stays queued and runs nothing.
            }
        }
        auto allQuiet = [] {
            const auto sites = TKeltroSiteManager::Instance().Sites();
            return std::all_of(sites.begin(), sites.end(), quiet);
        };
        m_loop.RunUntil(
            [&] {
                m_view.Refresh();
                return allQuiet();
            },
            30s);
        m_view.Refresh(true);
        if (!allQuiet())
            m_view.Note("tolvane-cli: a request still in flight is allowed to end; interrupt "
                        "again to quit at once");
    }

    // Saves the sites that worked, in one transaction. Only those: another program (another
    // tolvane-cli, the desktop program) may have changed the others meanwhile.
    void SaveWorkedSites() {
        if (m_worked.empty())
            return;
        DatabaseConnection().InTransaction([&] {
            for (int32_t id : m_worked)
                if (TKeltroSite* site = siteByID(id))
                    site->Save();
        });
    }

    // After the site list was reloaded.
    void observeSites() {
        for (TKeltroSite& site : TKeltroSiteManager::Instance().Sites())
            if (m_siteIDs.empty() || std::find(m_siteIDs.begin(), m_siteIDs.end(),
                                               site.Definition().SiteID) != m_siteIDs.end())
                site.AddObserver(*this);
    }

    bool Worked(int32_t id) const { return m_worked.contains(id); }
    bool Downloaded(int32_t id) const { return m_downloaded.contains(id); }
    const std::string& TickError() const { return m_loop.LastTickError(); }
    TProgressView& View() { return m_view; }

private:
    TSignalGuard m_signals;
    TEngineLoop m_loop;
    std::FILE* m_out;
    TProgressView m_view;
    std::vector<int32_t> m_siteIDs;
    std::set<int32_t> m_worked;
    std::set<int32_t> m_downloaded;
};

// A failing queue tick (an option the queue cannot read) stops the engine; it is a set-up
// error, reported once the work in hand has been stopped.
int tickFailure(const TEngineSession& session) {
    PrintError("the engine stopped: " + session.TickError());
    return kExitSetup;
}

// The outcome of `backup` and `download`: failures on stderr, the JSON document on stdout.
int reportResult(const TCommandLine& c, const TEngineSession& session,
                 const std::vector<int32_t>& siteIDs, const std::set<int32_t>& succeeded,
                 bool interrupted) {
    bool allOk = true;
    nlohmann::json list = nlohmann::json::array();
    for (int32_t id : siteIDs) {
        const TKeltroSite* site = siteByID(id);
        if (!site)
            continue;
        const TKeltroSiteDefinition& d = site->Definition();
        const TKeltroSiteMetadata& m = site->Metadata();
        const bool ok = succeeded.contains(id);
        allOk = allOk && ok;
        std::string error = MaskSecrets(m.LastError, d);
        if (!ok && error.empty())
            error = interrupted ? "aborted" : "failed";
        if (!ok)
            PrintError(d.SiteName + ": " + error);
        if (c.Json)
            list.push_back({{"id", id},
                            {"name", d.SiteName},
                            {"ok", ok},
                            {"status", StatusName(m.Status)},
                            {"lastError", ok ? std::string() : error},
                            {"lastBackup", FormatDateTime(d.LastBackup)},
                            {"archives", site->BackupFilenames()},
                            {"downloaded", ok && session.Downloaded(id)},
                            {"downloadDirectory", ResolveStoredFolder(d.DownloadDirectory)}});
    }
    if (c.Json) {
        const nlohmann::json document = {
            {"ok", allOk}, {"interrupted", interrupted}, {"sites", list}};
        std::fprintf(
            stdout, "%s\n",
            document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    }
    return allOk ? kExitOk : kExitSiteFailed;
}

// Runs the session until the sites have settled (or a signal came), then stops and saves.
int finishWork(const TCommandLine& c, TEngineSession& session,
               const std::vector<int32_t>& siteIDs) {
    // A site counts as done well when it settled idle before any signal.
    std::set<int32_t> succeeded;
    std::set<int32_t> pending(siteIDs.begin(), siteIDs.end());
    const bool completed = session.RunUntil([&] {
        for (auto it = pending.begin(); it != pending.end();) {
            const TKeltroSite* site = siteByID(*it);
            if (site && !settled(*site)) {
                ++it;
                continue;
            }
            if (site && site->Metadata().Status == TSiteStatus::Idle && session.Worked(*it))
                succeeded.insert(*it);
            it = pending.erase(it);
        }
        return pending.empty();
    });
    const bool interrupted = !completed;
    if (!completed || !session.TickError().empty())
        session.AbortAll();
    session.View().Finish();
    session.SaveWorkedSites();
    if (!session.TickError().empty())
        return tickFailure(session);
    return reportResult(c, session, siteIDs, succeeded, interrupted);
}

} // namespace

int BackupSites(const TCommandLine& c) {
    std::vector<int32_t> ids;
    if (c.AllSites) {
        for (const TKeltroSite& site : TKeltroSiteManager::Instance().Sites())
            ids.push_back(site.Definition().SiteID);
    } else {
        for (const std::string& name : c.Sites) {
            const int32_t id = FindSite(name).Definition().SiteID;
            if (std::find(ids.begin(), ids.end(), id) == ids.end())
                ids.push_back(id);
        }
    }
    requireQueueRoom("BackupQueueSize");
    for (int32_t id : ids)
        if (siteByID(id)->Definition().DownloadWhenDone) {
            requireQueueRoom("DownloadQueueSize");
            break;
        }
    TEngineSession session(c, /*runSchedule=*/false, ids);
    for (int32_t id : ids) {
        TKeltroSite& site = *siteByID(id);
        try {
            site.StartBackup(&session);
        } catch (const EKTAlreadyRunning& e) {
            PrintError(site.Definition().SiteName + ": " + e.what());
        }
    }
    return finishWork(c, session, ids);
}

int DownloadOlderBackup(const TCommandLine& c) {
    TKeltroSite& site = FindSite(c.Site);
    const TKeltroSiteDefinition definition = site.Definition();
    TBackupAdministration administration(definition.SiteID);
    try {
        administration.Refresh();
    } catch (const EKTLayerException& e) {
        PrintError(definition.SiteName + ": " + MaskSecrets(e.what(), definition));
        return kExitSiteFailed;
    }
    const TKeltroBackupArray& backups = administration.Backups();
    const auto entry =
        std::find_if(backups.begin(), backups.end(),
                     [&](const TKeltroBackupEntry& b) { return b.id == c.BackupID; });
    if (entry == backups.end())
        throw ECliUsage("site \"" + definition.SiteName + "\" holds no backup with id " +
                        std::to_string(c.BackupID));
    if (entry->meta != "ok")
        throw ECliUsage(Translate("BUADMIN_ERR_INVALIDRECORD"));

    requireQueueRoom("DownloadQueueSize");
    const std::vector<int32_t> ids = {definition.SiteID};
    TEngineSession session(c, /*runSchedule=*/false, ids);
    try {
        administration.Download(*entry);
    } catch (const Exception& e) {
        // No parts, an unreadable API version, a site that is busy after all.
        PrintError(definition.SiteName + ": " + MaskSecrets(e.what(), definition));
        return kExitSiteFailed;
    }
    return finishWork(c, session, ids);
}

int RunScheduler(const TCommandLine& c) {
    TEngineSession session(c, /*runSchedule=*/true, {});
    // Sites added or changed by another program (another tolvane-cli, the desktop program) are
    // taken in while nothing runs: SQLite counts the commits of other connections.
    auto dataVersion = [] {
        auto query = DatabaseConnection().Query("PRAGMA data_version");
        return query.Next() ? query.FieldAsInteger("data_version") : 0;
    };
    int64_t version = dataVersion();
    auto nextCheck = std::chrono::steady_clock::now();
    session.RunUntil([] { return false; },
                     [&] {
                         const auto now = std::chrono::steady_clock::now();
                         if (now < nextCheck)
                             return;
                         nextCheck = now + 3s;
                         TKeltroSiteManager& manager = TKeltroSiteManager::Instance();
                         const auto sites = manager.Sites();
                         if (!std::all_of(sites.begin(), sites.end(), settled))
                             return;
                         const int64_t current = dataVersion();
                         if (current == version)
                             return;
                         version = current;
                         manager.Reload();
                         session.observeSites();
                     });
    session.AbortAll();
    session.View().Finish();
    session.SaveWorkedSites();
    if (!session.TickError().empty())
        return tickFailure(session);
    return kExitOk;
}

} // namespace tlv::cli
