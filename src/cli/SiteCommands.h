#pragma once

#include "cli/CommandLine.h"

namespace tlv::cli {

// The commands that read or change the site list and the options without running the engine.
// Each returns the exit status; bad input raises ECliUsage before anything is written. UI
// thread (the program's main thread).
int ListSites(const TCommandLine& commandLine);
int ShowSite(const TCommandLine& commandLine);
int AddSite(const TCommandLine& commandLine);
int SetSiteFields(const TCommandLine& commandLine);
int DeleteSite(const TCommandLine& commandLine);
int PinCertificate(const TCommandLine& commandLine);
int ListBackups(const TCommandLine& commandLine);
int ReadOrWriteOptions(const TCommandLine& commandLine);

} // namespace tlv::cli
