#pragma once
// The texts of the system information collectors, computed from plain
// facts so that the rules can be tested without the system that has them.
#include <cstdint>
#include <string>
#include <string_view>

namespace corvan::crash {

// "1 minute 30 seconds " (two units at most, trailing blank; empty for 0).
std::string DurationText(std::int64_t seconds);
// Up time of the program: a duration, or "350 milliseconds" under a second.
std::string ProgramUpTimeText(std::int64_t milliseconds);
// "1023 Bytes", "1,50 KB", ... with the locale's decimal separator.
std::string SizeText(std::uint64_t bytes, char decimalSeparator);

enum class OsPlatform { Windows9x = 1, WindowsNT = 2 };

struct OsFacts {
  OsPlatform platform = OsPlatform::WindowsNT;
  std::uint32_t major = 0, minor = 0, build = 0;
  std::string servicePack;  // "Service Pack 1" or empty
  bool workstation = true;  // product type VER_NT_WORKSTATION
  bool serverR2 = false;    // SM_SERVERR2
  bool tabletPc = false, starter = false, mediaCenter = false;
  bool nativeAmd64 = false;  // native processor architecture
};

int OsProductIndex(const OsFacts& os);
std::string_view OsProductName(int index);
// "Windows XP x64 Service Pack 2 build 3790"
std::string OperatingSystemText(const OsFacts& os);
// The build shown: the low 16 bits on Windows 9x.
std::uint32_t OsBuildNumber(const OsFacts& os);

// Collapses runs of blanks and trims: the processor name of the registry.
std::string CollapseBlanks(std::string_view text);
// Megabytes rounded to the nearest: "123/4096 MB (free/total)".
std::string PhysicalMemoryText(std::uint64_t freeBytes, std::uint64_t totalBytes);
// "07/42 (gdi/user)".
std::string SystemResourcesText(int gdiPercent, int userPercent);
// "(C:) 1,50 GB"; empty for a network path ("\").
std::string DriveSpaceText(char driveLetter, std::uint64_t freeBytes, char decimalSeparator);

}  // namespace corvan::crash
