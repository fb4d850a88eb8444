#include "crash/core/SystemInfo.h"

#include "crash/analysis/SystemHelpers.h"

namespace corvan::crash {
namespace {

constexpr const char* kProcessorKey = "hardware\\description\\system\\centralProcessor\\";

OsFacts ReadOsFacts() {
  OsFacts os;
  OSVERSIONINFOEXA ex{};
  ex.dwOSVersionInfoSize = sizeof ex;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  bool extended = GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&ex));
  if (!extended) {
    ex.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    if (!GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&ex))) return os;
  }
#pragma GCC diagnostic pop
  os.platform =
      ex.dwPlatformId == VER_PLATFORM_WIN32_NT ? OsPlatform::WindowsNT : OsPlatform::Windows9x;
  os.major = ex.dwMajorVersion;
  os.minor = ex.dwMinorVersion;
  os.build = ex.dwBuildNumber;
  os.servicePack = ex.szCSDVersion;
  os.workstation = !extended || ex.wProductType == VER_NT_WORKSTATION;
  os.serverR2 = GetSystemMetrics(89) != 0;     // SM_SERVERR2
  os.tabletPc = GetSystemMetrics(86) != 0;     // SM_TABLETPC
  os.mediaCenter = GetSystemMetrics(87) != 0;  // SM_MEDIACENTER
  os.starter = GetSystemMetrics(88) != 0;      // SM_STARTER
  using GetNativeSystemInfoFn = void(WINAPI*)(SYSTEM_INFO*);
  if (const auto native =
          SystemFunction<GetNativeSystemInfoFn>("kernel32.dll", "GetNativeSystemInfo")) {
    SYSTEM_INFO info{};
    native(&info);
    os.nativeAmd64 = info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64;
  }
  return os;
}

std::string LocaleText(LCID locale, LCTYPE type) {
  char buffer[128];
  const int n = GetLocaleInfoA(locale, type, buffer, sizeof buffer);
  return n > 1 ? std::string(buffer, n - 1) : std::string();
}

std::string DriveText(const std::string& path) {
  if (path.size() < 2 || path[1] != ':') return {};
  ULARGE_INTEGER freeToCaller, total, totalFree;
  const std::string root = path.substr(0, 2) + "\\";
  std::uint64_t freeBytes = 0;
  if (GetDiskFreeSpaceExA(root.c_str(), &freeToCaller, &total, &totalFree)) {
    freeBytes = totalFree.QuadPart;
  } else {
    DWORD sectorsPerCluster, bytesPerSector, freeClusters, clusters;
    if (!GetDiskFreeSpaceA(root.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters,
                           &clusters))
      return {};
    freeBytes = std::uint64_t(freeClusters) * sectorsPerCluster * bytesPerSector;
  }
  return DriveSpaceText(path[0], freeBytes, DecimalSeparator());
}

}  // namespace

const OsFacts& OperatingSystemFacts() {
  static const OsFacts facts = ReadOsFacts();
  return facts;
}

std::string OperatingSystem() {
  const OsFacts& os = OperatingSystemFacts();
  return os.major ? OperatingSystemText(os) : std::string();
}

std::string SystemLanguage() { return LocaleText(LOCALE_SYSTEM_DEFAULT, LOCALE_SLANGUAGE); }

std::string SystemUpTime() {
  LARGE_INTEGER counter, frequency;
  if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart == 0 ||
      !QueryPerformanceCounter(&counter)) {
    return {};
  }
  return DurationText(counter.QuadPart / frequency.QuadPart);
}

std::string ProgramUpTime(std::int64_t startCounter) {
  LARGE_INTEGER counter, frequency;
  if (startCounter == 0 || !QueryPerformanceFrequency(&frequency) || frequency.QuadPart == 0 ||
      !QueryPerformanceCounter(&counter)) {
    return {};
  }
  const std::int64_t elapsed = counter.QuadPart - startCounter;
  const std::int64_t milliseconds = elapsed / frequency.QuadPart * 1000 +
                                    elapsed % frequency.QuadPart * 1000 / frequency.QuadPart;
  return ProgramUpTimeText(milliseconds);
}

std::string ProcessorName() {
  return CollapseBlanks(
      RegReadText(HKEY_LOCAL_MACHINE, std::string(kProcessorKey) + "0", "ProcessorNameString"));
}

int ProcessorCount() {
  for (int n = 1; n < 16; ++n) {
    if (RegReadText(HKEY_LOCAL_MACHINE, kProcessorKey + std::to_string(n), "ProcessorNameString")
            .empty())
      return n;
  }
  return 16;
}

std::string PhysicalMemory() {
  MEMORYSTATUSEX ex{};
  ex.dwLength = sizeof ex;
  if (GlobalMemoryStatusEx(&ex)) return PhysicalMemoryText(ex.ullAvailPhys, ex.ullTotalPhys);
  MEMORYSTATUS status{};
  status.dwLength = sizeof status;
  GlobalMemoryStatus(&status);
  return PhysicalMemoryText(status.dwAvailPhys, status.dwTotalPhys);
}

std::string SystemResources() {
  // Free GDI and USER resources exist on Windows 9x only.
  return {};
}

std::string FreeDiskSpace() {
  char windows[MAX_PATH];
  const UINT n = GetWindowsDirectoryA(windows, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return {};
  std::string text = DriveText(windows);
  const std::string exe = ModulePath(nullptr);
  if (!exe.empty() && std::toupper(static_cast<unsigned char>(exe[0])) !=
                          std::toupper(static_cast<unsigned char>(windows[0]))) {
    const std::string other = DriveText(exe);
    if (!other.empty()) text += (text.empty() ? "" : " ") + other;
  }
  return text;
}

std::string DisplayMode() {
  HDC screen = GetDC(nullptr);
  if (!screen) return {};
  const int width = GetDeviceCaps(screen, HORZRES), height = GetDeviceCaps(screen, VERTRES);
  const int bits = GetDeviceCaps(screen, BITSPIXEL) * GetDeviceCaps(screen, PLANES);
  ReleaseDC(nullptr, screen);
  return std::to_string(width) + "x" + std::to_string(height) + ", " + std::to_string(bits) +
         " bit";
}

std::string AllocatedMemory() {
  std::uint64_t total = 0;
  const std::uint8_t* at = nullptr;
  void* lastBase = nullptr;
  bool lastIsModule = false;
  MEMORY_BASIC_INFORMATION info;
  while (VirtualQuery(at, &info, sizeof info) == sizeof info) {
    if (info.State == MEM_COMMIT) {
      if (info.AllocationBase != lastBase) {
        lastBase = info.AllocationBase;
        char name[8];
        lastIsModule =
            GetModuleFileNameA(static_cast<HMODULE>(info.AllocationBase), name, sizeof name) != 0;
      }
      if (!lastIsModule) total += info.RegionSize;
    }
    const std::uint8_t* next = static_cast<const std::uint8_t*>(info.BaseAddress) + info.RegionSize;
    if (next <= at) break;
    at = next;
  }
  return SizeText(total, DecimalSeparator());
}

std::string TerminalServerClient() {
  if (OperatingSystemFacts().platform != OsPlatform::WindowsNT ||
      !GetSystemMetrics(SM_REMOTESESSION))
    return {};
  using QueryFn = BOOL(WINAPI*)(HANDLE, DWORD, int, char**, DWORD*);
  using FreeFn = void(WINAPI*)(void*);
  const auto query = SystemFunction<QueryFn>("wtsapi32.dll", "WTSQuerySessionInformationA");
  const auto release = SystemFunction<FreeFn>("wtsapi32.dll", "WTSFreeMemory");
  if (!query || !release) return {};
  char* data = nullptr;
  DWORD size = 0;
  std::string name;
  if (query(nullptr, static_cast<DWORD>(-1), 10, &data, &size) && data) {  // WTSClientName
    name.assign(data, strnlen(data, size));
    release(data);
  }
  return name;
}

bool UserIsAdministrator() {
  using CheckFn = BOOL(WINAPI*)(HANDLE, PSID, BOOL*);
  const auto check = SystemFunction<CheckFn>("advapi32.dll", "CheckTokenMembership");
  if (!check) return false;
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID administrators = nullptr;
  if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0,
                                0, 0, 0, 0, &administrators)) {
    return false;
  }
  BOOL member = FALSE;
  const bool ok = check(nullptr, administrators, &member);
  FreeSid(administrators);
  return ok && member;
}

char DecimalSeparator() {
  static const char separator = [] {
    const std::string text = LocaleText(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL);
    return text.empty() ? ',' : text[0];
  }();
  return separator;
}

}  // namespace corvan::crash
