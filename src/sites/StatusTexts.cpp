#include "sites/StatusTexts.h"

#include "storage/Translate.h"

namespace tlv {

std::string StatusText(TSiteStatus status) {
    switch (status) {
    case TSiteStatus::Idle:
        return Translate("MAIN_SG_STIDLE");
    case TSiteStatus::BackupRunning:
        return Translate("MAIN_SG_STRUNNING");
    case TSiteStatus::Downloading:
        return Translate("MAIN_SG_STDL");
    case TSiteStatus::Failed:
        return Translate("MAIN_SG_STERROR");
    case TSiteStatus::BackupQueued:
        return Translate("MAIN_SG_STQRUN");
    case TSiteStatus::DownloadQueued:
        return Translate("MAIN_SG_STQDL");
    case TSiteStatus::Reserved:
        break;
    }
    return {};
}

std::string DomainText(const std::string& domain) {
    if (domain == "init")
        return Translate("DOMAIN_INIT");
    if (domain == "installer")
        return Translate("DOMAIN_INSTALLER");
    if (domain == "PackDB")
        return Translate("DOMAIN_PACKDB");
    if (domain == "Packing")
        return Translate("DOMAIN_PACKING");
    if (domain == "finale")
        return Translate("DOMAIN_FINALE");
    return {};
}

const char* StatusName(TSiteStatus status) {
    switch (status) {
    case TSiteStatus::Idle:
        return "Idle";
    case TSiteStatus::BackupRunning:
        return "BackupRunning";
    case TSiteStatus::Reserved:
        return "Reserved";
    case TSiteStatus::Downloading:
        return "Downloading";
    case TSiteStatus::Failed:
        return "Failed";
    case TSiteStatus::BackupQueued:
        return "BackupQueued";
    case TSiteStatus::DownloadQueued:
        return "DownloadQueued";
    }
    return "Unknown";
}

} // namespace tlv
