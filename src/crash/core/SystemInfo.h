#pragma once
// The collectors of the bug report header: each returns its text, empty
// when it has nothing to say (the header then leaves the field out).
#include <windows.h>

#include <cstdint>
#include <string>

#include "crash/core/SystemInfoText.h"

namespace corvan::crash {

// Read once per process.
const OsFacts& OperatingSystemFacts();
std::string OperatingSystem();
std::string SystemLanguage();
std::string SystemUpTime();
// Since startCounter (a performance counter value; 0: unknown).
std::string ProgramUpTime(std::int64_t startCounter);
std::string ProcessorName();
int ProcessorCount();
std::string PhysicalMemory();
std::string SystemResources();
std::string FreeDiskSpace();
std::string DisplayMode();
std::string AllocatedMemory();
std::string TerminalServerClient();
bool UserIsAdministrator();

// The first character of the user's decimal separator (read once; ","
// when the locale does not tell).
char DecimalSeparator();

}  // namespace corvan::crash
