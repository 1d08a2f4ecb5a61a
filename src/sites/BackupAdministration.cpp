#include "sites/BackupAdministration.h"

#include "core/Version.h"
#include "sites/KeltroSite.h"
#include "sites/SiteManager.h"
#include "storage/Translate.h"

namespace tlv {

TKeltroSite& TBackupAdministration::Site() const {
    TKeltroSiteManager& manager = TKeltroSiteManager::Instance();
    return manager.Items(manager.IndexOfID(m_siteID));
}

const TKeltroBackupArray& TBackupAdministration::Refresh() {
    m_connector.LoadSiteDefinition(Site().Definition());
    m_connector.GetBackups();
    return m_connector.Backups;
}

void TBackupAdministration::ensureAPIVersion() {
    if (m_connector.APIVersion.empty()) {
        try {
            m_connector.GetAPI();
        } catch (const EKTLayerException&) {
            // An API version the server will not tell is treated as the oldest one.
        }
    }
    m_versionNumber = ToVersionNumber(m_connector.APIVersion);
}

TBackupAdministration::TDownloadOutcome
TBackupAdministration::Download(const TKeltroBackupEntry& entry) {
    if (entry.meta != "ok")
        return TDownloadOutcome::InvalidRecord;
    TKeltroSite& site = Site();
    ensureAPIVersion();
    if (m_versionNumber >= kFirstVersionWithParts) {
        m_connector.GetParts(entry.id);
        site.SetBackupFilenames(m_connector.Parts);
    } else {
        site.SetBackupFilename(entry.archivename);
    }
    site.StartDownload(this);
    return TDownloadOutcome::Queued;
}

std::string TBackupAdministration::TypeText(const std::string& type) {
    if (type == "full")
        return Translate("BUADMIN_BGLBL_FULL");
    if (type == "dbonly")
        return Translate("BUADMIN_BGLBL_DBONLY");
    if (type == "extradbonly")
        return Translate("BUADMIN_BGLBL_EXTRADBONLY");
    return type;
}

std::string TBackupAdministration::MetaText(const std::string& meta) {
    if (meta == "ok")
        return Translate("BUADMIN_BGLBL_OK");
    if (meta == "pending")
        return Translate("BUADMIN_BGLBL_PENDING");
    if (meta == "fail")
        return Translate("BUADMIN_BGLBL_FAIL");
    if (meta == "obsolete")
        return Translate("BUADMIN_BGLBL_OBSOLETE");
    return meta;
}

} // namespace tlv
