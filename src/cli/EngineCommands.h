#pragma once

#include "cli/CommandLine.h"

namespace tlv::cli {

// The commands that run the engine: they drive the queues (and for `run` the schedule) with
// the headless engine loop until their work is done or SIGINT/SIGTERM asks them to stop, then
// save the sites they worked on. Each returns the exit status. Main thread.
int BackupSites(const TCommandLine& commandLine);
int DownloadOlderBackup(const TCommandLine& commandLine);
int RunScheduler(const TCommandLine& commandLine);

} // namespace tlv::cli
