#pragma once

#include "sites/KeltroTypes.h"

#include <string>

namespace tlv {

// How a site's state and the stage of its backup read for the user; shared by every front end.
// Any thread.

// The translated status word of a state ("MAIN_SG_STIDLE", ...); empty for Reserved.
std::string StatusText(TSiteStatus status);

// The translated name of a backup stage as the server names it in a step report ("init",
// "installer", "PackDB", "Packing", "finale"; exact letter case); empty for any other name.
std::string DomainText(const std::string& domain);

// The state's name in code ("Idle", "BackupRunning", ...), for machine-readable output.
const char* StatusName(TSiteStatus status);

} // namespace tlv
