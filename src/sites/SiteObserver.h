#pragma once

namespace tlv {

class TKeltroSite;

// Told about every change of a site's state, step report, error or download progress. The main
// window and the queues implement it. Called on the UI thread only.
class ISiteObserver {
public:
    virtual ~ISiteObserver() = default;
    virtual void SiteChanged(TKeltroSite& site) = 0;
};

} // namespace tlv
