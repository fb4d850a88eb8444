#pragma once
// The reporter's temporary folder: "<temp>\<executable name>.zelExcept",
// where screenshots and attachments are prepared.
#include <string>

namespace corvan::crash {

std::string ReporterTempFolder();
// Deletes every file in the folder; with removeFolder, the folder too.
void EmptyReporterTempFolder(bool removeFolder);

}  // namespace corvan::crash
