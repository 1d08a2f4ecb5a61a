#pragma once

#include "sites/KeltroTypes.h"
#include "sites/SiteObserver.h"

#include <cstdint>
#include <vector>

namespace tlv {

class TKeltroSiteManager;

// One site: its stored definition and what it is doing now. The manager that holds it owns it.
// UI thread only: workers get a copy of the definition and reach the site through the
// dispatcher.
class TKeltroSite {
public:
    // A new site with an empty definition (SiteID 0). The caller appends it to the manager.
    explicit TKeltroSite(TKeltroSiteManager& manager);
    ~TKeltroSite();
    TKeltroSite(const TKeltroSite&) = delete;
    TKeltroSite& operator=(const TKeltroSite&) = delete;

    const TKeltroSiteDefinition& Definition() const { return m_definition; }
    const TKeltroSiteMetadata& Metadata() const { return m_metadata; }
    TKeltroSiteManager& Manager() const { return m_manager; }

    // Idle or Failed: the site may be queued, edited or reloaded.
    bool IsNotBusy() const { return tlv::IsNotBusy(m_metadata.Status); }

    // Fills the definition from the Sites row of `siteID` and resets the run-time state.
    // Raises ESiteIDNotFound when there is no such row.
    void LoadFromDatabase(int32_t siteID);

    // Updates the site's row, or inserts a new one when the site was never stored and takes the
    // row id SQLite gave it as its SiteID.
    void Save();

    // Deletes the site's row (when it was stored) and removes the site from its manager, which
    // releases it: the caller must not touch the site afterwards (unless the manager never held
    // it). Callers delete idle or failed sites only.
    void Delete();

    // Replaces the whole definition, SiteID included, without saving it. Raises
    // EKTAlreadyRunning, leaving the site unchanged, unless the site is idle or failed.
    void SetDefinition(const TKeltroSiteDefinition& definition);

    // Changes the activity state without telling anyone; NotifyObservers does that.
    void SetStatus(TSiteStatus status) { m_metadata.Status = status; }

    // Registers `observer` unless it already is; the site does not own it.
    void AddObserver(ISiteObserver& observer);
    void RemoveObserver(ISiteObserver& observer);
    // Tells every observer registered when it starts, each exactly once and in registration
    // order, even when one of them unregisters itself or another while being told.
    void NotifyObservers();

private:
    // SaveAll puts back the SiteID of a site whose insert its failed transaction rolled back.
    friend class TKeltroSiteManager;
    void restoreSiteID(int32_t siteID) { m_definition.SiteID = siteID; }

    TKeltroSiteManager& m_manager;
    TKeltroSiteDefinition m_definition;
    TKeltroSiteMetadata m_metadata;
    std::vector<ISiteObserver*> m_observers;
};

} // namespace tlv
