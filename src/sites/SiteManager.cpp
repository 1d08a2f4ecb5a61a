#include "sites/SiteManager.h"

#include "storage/DatabaseConnection.h"

#include <memory>
#include <utility>
#include <vector>

namespace tlv {

namespace {
std::unique_ptr<TKeltroSiteManager> g_manager;
}

TKeltroSiteManager& TKeltroSiteManager::Instance() {
    if (!g_manager) {
        auto manager = std::make_unique<TKeltroSiteManager>();
        manager->Reload();
        g_manager = std::move(manager);
    }
    return *g_manager;
}

TKeltroSiteManager* TKeltroSiteManager::Existing() { return g_manager.get(); }

void TKeltroSiteManager::Release() {
    if (!g_manager)
        return;
    // Program end does not wait for workers: they are asked to stop and collected later by
    // JoinAbandonedWorkers, and none of their events reaches a released site.
    for (TKeltroSite& site : g_manager->Sites())
        site.AbandonWorkers();
    g_manager.reset();
}

void TKeltroSiteManager::Reload() {
    for (const TKeltroSite& site : Sites())
        if (!site.IsNotBusy())
            throw EKTNotAllIdle();
    Clear();

    // Loaded aside and appended at the end, so a failing load leaves an empty list rather than
    // a part of the sites.
    std::vector<std::unique_ptr<TKeltroSite>> loaded;
    auto ids = DatabaseConnection().Query("SELECT [SiteID] FROM [Sites]");
    while (ids.Next()) {
        auto site = std::make_unique<TKeltroSite>(*this);
        site->LoadFromDatabase(static_cast<int32_t>(ids.FieldAsInteger("SiteID")));
        loaded.push_back(std::move(site));
    }
    for (auto& site : loaded)
        Add(std::move(site));
}

void TKeltroSiteManager::AddObserverToAll(ISiteObserver& observer) {
    for (TKeltroSite& site : Sites())
        site.AddObserver(observer);
}

void TKeltroSiteManager::SaveAll() {
    if (Count() == 0)
        return;
    // A rolled-back insert must not leave its site believing it is stored: the next Save
    // would then update a row that does not exist and the site would be lost.
    std::vector<std::pair<TKeltroSite*, int32_t>> inserted;
    TSQLiteDatabase& db = DatabaseConnection();
    try {
        db.InTransaction([&] {
            for (TKeltroSite& site : Sites()) {
                const int32_t before = site.Definition().SiteID;
                site.Save();
                if (before <= 0)
                    inserted.emplace_back(&site, before);
            }
        });
    } catch (...) {
        for (auto [site, before] : inserted)
            site->restoreSiteID(before);
        throw;
    }
}

} // namespace tlv
