#pragma once
// The reporter's temporary folder: "<temp>\<executable name>.zelExcept",
// where screenshots and attachments are prepared.
#include <string>

namespace corvan::crash {

std::string ReporterTempFolder();
// The folder with a trailing backslash, created when missing (a send or an
// edit may come before anything else was put there); empty when unknown.
std::string PreparedReporterTempFolder();
// Deletes every file in the folder; with removeFolder, the folder too.
void EmptyReporterTempFolder(bool removeFolder);

}  // namespace corvan::crash
