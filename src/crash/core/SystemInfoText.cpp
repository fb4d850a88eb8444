#include "crash/core/SystemInfoText.h"

#include <cctype>
#include <cstdio>

namespace corvan::crash {
namespace {

void AppendUnit(std::string& out, std::int64_t value, const char* unit) {
  if (value == 0) return;
  out += std::to_string(value) + " " + unit + (value == 1 ? " " : "s ");
}

// value / 100 with the separator before the last two digits.
std::string Hundredths(std::uint64_t value, char separator) {
  char fraction[4];
  std::snprintf(fraction, sizeof fraction, "%02u", static_cast<unsigned>(value % 100));
  return std::to_string(value / 100) + separator + fraction;
}

constexpr std::string_view kProducts[] = {
    "None",       "Windows 95",     "Windows 95 OSR-2", "Windows 98",    "Windows 98 SE",
    "Windows ME", "Windows 9x New", "Windows NT 3",     "Windows NT 4",  "Windows 2000",
    "Windows XP", "Windows 2003",   "Windows Vista",    "Windows NT New"};

}  // namespace

std::string DurationText(std::int64_t seconds) {
  if (seconds < 0) seconds = 0;
  const std::int64_t days = seconds / 86400;
  const std::int64_t hours = seconds / 3600 % 24;
  std::string out;
  if (days) {
    AppendUnit(out, days, "day");
    AppendUnit(out, hours, "hour");
  } else if (hours) {
    AppendUnit(out, hours, "hour");
    AppendUnit(out, seconds / 60 % 60, "minute");
  } else {
    AppendUnit(out, seconds / 60 % 60, "minute");
    AppendUnit(out, seconds % 60, "second");
  }
  return out;
}

std::string ProgramUpTimeText(std::int64_t milliseconds) {
  std::string text = DurationText(milliseconds / 1000);
  if (text.empty()) text = std::to_string(milliseconds < 0 ? 0 : milliseconds) + " milliseconds";
  return text;
}

std::string SizeText(std::uint64_t bytes, char separator) {
  constexpr std::uint64_t KB = 1024, MB = KB * KB, GB = MB * KB;
  if (bytes < KB) return std::to_string(bytes) + " Bytes";
  if (bytes < MB) return Hundredths(bytes * 100 / KB, separator) + " KB";
  if (bytes < GB) return Hundredths(bytes / KB * 100 / KB, separator) + " MB";
  return Hundredths(bytes / KB / KB * 100 / KB, separator) + " GB";
}

int OsProductIndex(const OsFacts& os) {
  if (os.platform == OsPlatform::Windows9x) {
    const std::uint32_t build = os.build & 0xFFFF;
    if (os.major <= 3) return 0;
    if (os.major > 4) return 6;
    if (os.minor < 10) return build <= 1000 ? 1 : 2;
    if (os.minor == 10) return build <= 2000 ? 3 : build <= 2700 ? 4 : 5;
    return os.minor <= 90 ? 5 : 6;
  }
  if (os.major < 4) return 7;
  if (os.major == 4) return 8;
  if (os.major == 5) {
    if (os.minor == 0) return 9;
    if (os.minor == 1 || (os.minor == 2 && os.workstation)) return 10;
    return 11;
  }
  if (os.major == 6 && os.minor == 0) return 12;
  return 13;
}

std::string_view OsProductName(int index) {
  return index >= 0 && index < static_cast<int>(std::size(kProducts)) ? kProducts[index] : "";
}

std::uint32_t OsBuildNumber(const OsFacts& os) {
  return os.platform == OsPlatform::Windows9x ? (os.build & 0xFFFF) : os.build;
}

std::string OperatingSystemText(const OsFacts& os) {
  const int index = OsProductIndex(os);
  std::string text(OsProductName(index));
  if (os.platform == OsPlatform::WindowsNT) {
    if (os.serverR2) text += " R2";
    if (os.tabletPc) text += " Tablet PC";
    if (os.starter) text += " Starter";
    if (os.mediaCenter && index < 12) text += " Media Center";
    if (os.nativeAmd64) text += " x64";
    if (!os.servicePack.empty()) text += " " + os.servicePack;
  }
  return text + " build " + std::to_string(OsBuildNumber(os));
}

std::string CollapseBlanks(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == ' ' && (out.empty() || out.back() == ' ')) continue;
    out += c;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

std::string PhysicalMemoryText(std::uint64_t freeBytes, std::uint64_t totalBytes) {
  constexpr std::uint64_t MB = 1024 * 1024;
  auto megabytes = [](std::uint64_t b) { return std::to_string((b + MB / 2) / MB); };
  return megabytes(freeBytes) + "/" + megabytes(totalBytes) + " MB (free/total)";
}

std::string SystemResourcesText(int gdiPercent, int userPercent) {
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%02d/%02d (gdi/user)", gdiPercent, userPercent);
  return buffer;
}

std::string DriveSpaceText(char driveLetter, std::uint64_t freeBytes, char separator) {
  if (driveLetter == '\\' || driveLetter == '\0') return {};
  const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(driveLetter)));
  return std::string("(") + upper + ":) " + SizeText(freeBytes, separator);
}

}  // namespace corvan::crash
