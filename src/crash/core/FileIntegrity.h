#pragma once
// The start-up integrity check of a program file: the build stores the PE
// checksum in the header, the system's MapFileAndCheckSumW (imagehlp,
// loaded on first use) computes it again from the file. A stored checksum
// of 0 means the file is not protected.
#include <windows.h>

#include <string>

#include "crash/core/ReporterSettings.h"

namespace corvan::crash {

enum class FileIntegrity { Intact, Corrupt, Unprotected, Unknown };

// Unknown when the file cannot be read or the checksum API is missing: no
// verdict, so nothing is reported.
FileIntegrity CheckFileIntegrity(const std::wstring& path);

// Checks the file of module and, when it is corrupt, shows the settings'
// BitFaultMsg (captioned with TitleBar) and returns false. Start-up goes on
// either way: the user decides whether to trust the program.
bool ReportModuleIntegrity(HMODULE module, const ReporterSettings& settings);

}  // namespace corvan::crash
