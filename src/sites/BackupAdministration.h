#pragma once

#include "remote/XMLRPCConnector.h"
#include "sites/KeltroTypes.h"

#include <cstdint>
#include <string>

namespace tlv {

class TKeltroSite;

// The backup administration of one site, without a window: lists the backup records the site
// holds and queues the download of a complete one. The administration window and the command
// line show what it returns. The site is looked up in the site manager by its id whenever it is
// needed, so a list that stays open while other sites come and go still acts on its own site.
//
// UI thread only; every remote call blocks it until the server has answered.
class TBackupAdministration {
public:
    explicit TBackupAdministration(int32_t siteID) : m_siteID(siteID) {}

    int32_t SiteID() const { return m_siteID; }
    // Raises EKTSiteIDNotFound when the site has gone.
    TKeltroSite& Site() const;

    // Loads the site's current definition into the connector and asks for its backups
    // ("keltro.getBackups"). Raises EKTLayerException when the call fails.
    const TKeltroBackupArray& Refresh();
    // The records of the last successful Refresh, in the server's order.
    const TKeltroBackupArray& Backups() const { return m_connector.Backups; }

    enum class TDownloadOutcome {
        Queued,        // the site holds the archive names and waits in the download queue
        InvalidRecord, // the backup is not complete ("BUADMIN_ERR_INVALIDRECORD")
    };

    // After Refresh. Hands the backup's archive names to the site and queues its download: the
    // names of all parts ("keltro.getParts") from API 2.1 on, else the single archive name. An API
    // version that cannot be fetched counts as an old API. Raises EKTLayerException when the parts
    // cannot be fetched, EConvertError for an unreadable API version, and EKTAlreadyRunning for
    // a busy site (whose archive names are then already set).
    TDownloadOutcome Download(const TKeltroBackupEntry& entry);

    // The API version as a number, once a download asked for it (100 when unknown).
    int VersionNumber() const { return m_versionNumber; }
    const TConnectorXMLRPC& Connector() const { return m_connector; }

    // What a record's type and meta are shown as: the translations of the known values, any
    // other value unchanged.
    static std::string TypeText(const std::string& type);
    static std::string MetaText(const std::string& meta);

private:
    void ensureAPIVersion();

    int32_t m_siteID;
    TConnectorXMLRPC m_connector;
    int m_versionNumber = 100;
};

} // namespace tlv
