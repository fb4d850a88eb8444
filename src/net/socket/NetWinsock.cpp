#include "net/socket/NetWinsock.h"

#include <array>
#include <string>

#include "common/SystemLibrary.h"
#include "net/socket/NetSocketTypes.h"

namespace corvan::net::winsock {
namespace {

constexpr const char* kSocketLibrary = "wsock32.dll";
constexpr const char* kExtensionLibrary = "ws2_32.dll";

constexpr std::array<const char*, static_cast<std::size_t>(Fn::Count)> kNames = {
    "WSAStartup",
    "WSACleanup",
    "WSASetLastError",
    "WSAGetLastError",
    "WSACancelAsyncRequest",
    "WSAAsyncGetHostByName",
    "WSAAsyncGetHostByAddr",
    "WSAAsyncSelect",
    "getservbyname",
    "getprotobyname",
    "gethostbyname",
    "gethostbyaddr",
    "gethostname",
    "socket",
    "shutdown",
    "setsockopt",
    "getsockopt",
    "sendto",
    "send",
    "recv",
    "recvfrom",
    "ntohs",
    "htons",
    "listen",
    "ioctlsocket",
    "WSAIoctl",
    "inet_ntoa",
    "inet_addr",
    "getsockname",
    "getpeername",
    "connect",
    "closesocket",
    "bind",
    "accept"};

// Process-wide state of the binding, guarded by the library lock. The entry
// slots are read without the lock on the hot path: they only change while
// no user holds the library.
struct Library {
  std::recursive_mutex lock;
  HMODULE socketModule = nullptr;
  HMODULE extensionModule = nullptr;
  int users = 0;
  BYTE versionLow = 1;
  BYTE versionHigh = 1;
  WSADATA startupData{};
  std::array<std::atomic<void*>, static_cast<std::size_t>(Fn::Count)> entries{};
};

Library& Lib() {
  static Library library;
  return library;
}

// GetProcAddress result as a typed function pointer.
template <typename F>
F ProcAddress(HMODULE module, const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

[[noreturn]] void ThrowSystem(const std::string& text) {
  throw ESocketException(text + " Error #" + std::to_string(::GetLastError()));
}

void LoadSocketLibrary(Library& lib) {
  HMODULE module = LoadSystemLibrary(kSocketLibrary);
  if (!module) ThrowSystem(std::string("Unable to load ") + kSocketLibrary);
  auto startup = ProcAddress<decltype(&::WSAStartup)>(module, "WSAStartup");
  if (!startup) {
    const std::string message = std::string("Procedure WSAStartup not found in ") + kSocketLibrary +
                                " Error #" + std::to_string(::GetLastError());
    ::FreeLibrary(module);
    throw ESocketException(message);
  }
  const int result = startup(MAKEWORD(lib.versionLow, lib.versionHigh), &lib.startupData);
  if (result != 0) {
    ::FreeLibrary(module);
    throw ESocketException(std::string(kSocketLibrary) + ": WSAStartup error #" +
                           std::to_string(result));
  }
  lib.socketModule = module;
}

void Unload(Library& lib) {
  if (!lib.socketModule) return;
  if (auto cleanup = ProcAddress<decltype(&::WSACleanup)>(lib.socketModule, "WSACleanup")) {
    cleanup();
  }
  if (lib.extensionModule) ::FreeLibrary(lib.extensionModule);
  ::FreeLibrary(lib.socketModule);
  lib.extensionModule = lib.socketModule = nullptr;
  for (auto& entry : lib.entries) entry.store(nullptr, std::memory_order_release);
}

// Winsock answers an asynchronous lookup from a worker thread of its own,
// which is still running the library's code for a moment after it has
// posted the reply. Unloading the library in that moment (the reply's
// handler may destroy the last socket) sends the worker into unmapped
// memory. So the module that serves lookups is never unmapped once its
// entry point is known; the rest of the unloading (WSACleanup, the library
// references) happens as before.
void KeepLookupModuleMapped(Fn fn, void* entry) {
  if (fn != Fn::WSAAsyncGetHostByName && fn != Fn::WSAAsyncGetHostByAddr) return;
  HMODULE module = nullptr;
  ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       static_cast<const char*>(entry), &module);
}

// Keeps the library from being unloaded during one call.
using Bracket = TUserRef;

}  // namespace

void* Resolve(Fn fn) {
  Library& lib = Lib();
  auto& slot = lib.entries[static_cast<std::size_t>(fn)];
  if (void* entry = slot.load(std::memory_order_acquire)) return entry;
  std::lock_guard guard(lib.lock);
  if (!lib.socketModule) LoadSocketLibrary(lib);
  if (void* entry = slot.load(std::memory_order_relaxed)) return entry;
  const char* name = kNames[static_cast<std::size_t>(fn)];
  const char* library = kSocketLibrary;
  HMODULE module = lib.socketModule;
  if (fn == Fn::WSAIoctl) {
    library = kExtensionLibrary;
    if (!lib.extensionModule) {
      lib.extensionModule = LoadSystemLibrary(kExtensionLibrary);
      if (!lib.extensionModule) ThrowSystem(std::string("Unable to load ") + kExtensionLibrary);
    }
    module = lib.extensionModule;
  }
  void* entry = reinterpret_cast<void*>(::GetProcAddress(module, name));
  if (!entry) ThrowSystem(std::string("Procedure ") + name + " not found in " + library);
  KeepLookupModuleMapped(fn, entry);
  slot.store(entry, std::memory_order_release);
  return entry;
}

void AddUser() {
  Library& lib = Lib();
  std::lock_guard guard(lib.lock);
  ++lib.users;
}

void RemoveUser() {
  Library& lib = Lib();
  std::lock_guard guard(lib.lock);
  if (--lib.users < 1) {
    lib.users = 0;
    Unload(lib);
  }
}

int UserCount() {
  Library& lib = Lib();
  std::lock_guard guard(lib.lock);
  return lib.users;
}

bool IsLoaded() {
  Library& lib = Lib();
  std::lock_guard guard(lib.lock);
  return lib.socketModule != nullptr;
}

bool SetRequestedVersion(BYTE low, BYTE high) {
  Library& lib = Lib();
  std::lock_guard guard(lib.lock);
  if (lib.socketModule) return false;
  lib.versionLow = low;
  lib.versionHigh = high;
  return true;
}

WORD RequestedVersion() {
  Library& lib = Lib();
  std::lock_guard guard(lib.lock);
  return MAKEWORD(lib.versionLow, lib.versionHigh);
}

const WSADATA& StartupData() { return Lib().startupData; }

std::mutex& WindowClassLock() {
  static std::mutex lock;
  return lock;
}

#define CORVAN_WS(name) Entry<decltype(&::name)>(Fn::name)

int LastError() { return CORVAN_WS(WSAGetLastError)(); }
void SetLastError(int code) { CORVAN_WS(WSASetLastError)(code); }
SOCKET Socket(int af, int type, int protocol) { return CORVAN_WS(socket)(af, type, protocol); }
int CloseSocket(SOCKET s) { return CORVAN_WS(closesocket)(s); }
int Shutdown(SOCKET s, int how) { return CORVAN_WS(shutdown)(s, how); }

int Connect(SOCKET s, const sockaddr_in& address) {
  return CORVAN_WS(connect)(s, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

int Bind(SOCKET s, const sockaddr_in& address) {
  return CORVAN_WS(bind)(s, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

int Send(SOCKET s, const char* data, int length, int flags) {
  return CORVAN_WS(send)(s, data, length, flags);
}

int SendTo(SOCKET s, const char* data, int length, int flags, const sockaddr_in& to) {
  return CORVAN_WS(sendto)(s, data, length, flags, reinterpret_cast<const sockaddr*>(&to),
                           sizeof to);
}

int Recv(SOCKET s, char* data, int length, int flags) {
  return CORVAN_WS(recv)(s, data, length, flags);
}

int RecvFrom(SOCKET s, char* data, int length, int flags, sockaddr_in& from) {
  int size = sizeof from;
  return CORVAN_WS(recvfrom)(s, data, length, flags, reinterpret_cast<sockaddr*>(&from), &size);
}

int Listen(SOCKET s, int backlog) { return CORVAN_WS(listen)(s, backlog); }

SOCKET Accept(SOCKET s, sockaddr_in& from) {
  int size = sizeof from;
  return CORVAN_WS(accept)(s, reinterpret_cast<sockaddr*>(&from), &size);
}

int IoctlSocket(SOCKET s, long command, u_long* argument) {
  return CORVAN_WS(ioctlsocket)(s, command, argument);
}

int SetSockOpt(SOCKET s, int level, int name, const void* value, int length) {
  return CORVAN_WS(setsockopt)(s, level, name, static_cast<const char*>(value), length);
}

int GetSockOpt(SOCKET s, int level, int name, void* value, int* length) {
  Bracket bracket;
  return CORVAN_WS(getsockopt)(s, level, name, static_cast<char*>(value), length);
}

int GetSockName(SOCKET s, sockaddr_in& address) {
  int length = sizeof address;
  return CORVAN_WS(getsockname)(s, reinterpret_cast<sockaddr*>(&address), &length);
}

int GetPeerName(SOCKET s, sockaddr_in& address) {
  int length = sizeof address;
  return CORVAN_WS(getpeername)(s, reinterpret_cast<sockaddr*>(&address), &length);
}

int AsyncSelect(SOCKET s, HWND window, UINT message, long events) {
  return CORVAN_WS(WSAAsyncSelect)(s, window, message, events);
}

HANDLE AsyncGetHostByName(HWND window, UINT message, const char* name, char* buffer, int size) {
  return CORVAN_WS(WSAAsyncGetHostByName)(window, message, name, buffer, size);
}

HANDLE AsyncGetHostByAddr(HWND window, UINT message, const char* address, int length, int type,
                          char* buffer, int size) {
  return CORVAN_WS(WSAAsyncGetHostByAddr)(window, message, address, length, type, buffer, size);
}

int CancelAsyncRequest(HANDLE request) { return CORVAN_WS(WSACancelAsyncRequest)(request); }
unsigned long InetAddr(const char* text) { return CORVAN_WS(inet_addr)(text); }
hostent* GetHostByName(const char* name) { return CORVAN_WS(gethostbyname)(name); }

hostent* GetHostByAddr(const char* address, int length, int type) {
  return CORVAN_WS(gethostbyaddr)(address, length, type);
}

servent* GetServByName(const char* name, const char* proto) {
  return CORVAN_WS(getservbyname)(name, proto);
}

protoent* GetProtoByName(const char* name) { return CORVAN_WS(getprotobyname)(name); }
u_short Htons(u_short value) { return CORVAN_WS(htons)(value); }
u_short Ntohs(u_short value) { return CORVAN_WS(ntohs)(value); }

int GetHostName(char* name, int length) {
  Bracket bracket;
  return CORVAN_WS(gethostname)(name, length);
}

int Ioctl(SOCKET s, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned) {
  Bracket bracket;
  return CORVAN_WS(WSAIoctl)(s, code, in, inSize, out, outSize, returned, nullptr, nullptr);
}

#undef CORVAN_WS

}  // namespace corvan::net::winsock
