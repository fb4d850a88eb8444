#pragma once
// The process-wide Windows Sockets binding: "wsock32.dll" (and "ws2_32.dll"
// for WSAIoctl only) loaded on first use, every entry point resolved by name
// on its first call, and unloaded again when the last user lets go. The
// module that serves asynchronous lookups (ws2_32.dll, to which wsock32.dll
// forwards them) stays mapped once used: its worker threads may still run
// its code after their reply has been handled.
// Include this header before <windows.h>.
#include <windows.h>
#include <winsock2.h>

#include <atomic>
#include <mutex>

namespace corvan::net::winsock {

// One slot per entry point; names are the exported function names.
enum class Fn {
  WSAStartup,
  WSACleanup,
  WSASetLastError,
  WSAGetLastError,
  WSACancelAsyncRequest,
  WSAAsyncGetHostByName,
  WSAAsyncGetHostByAddr,
  WSAAsyncSelect,
  getservbyname,
  getprotobyname,
  gethostbyname,
  gethostbyaddr,
  gethostname,
  socket,
  shutdown,
  setsockopt,
  getsockopt,
  sendto,
  send,
  recv,
  recvfrom,
  ntohs,
  htons,
  listen,
  ioctlsocket,
  WSAIoctl,
  inet_ntoa,
  inet_addr,
  getsockname,
  getpeername,
  connect,
  closesocket,
  bind,
  accept,
  Count
};

// Returns the entry point, loading the libraries and calling WSAStartup
// first when needed. Raises ESocketException "Unable to load wsock32.dll
// Error #..." / "...: WSAStartup error #..." / "Procedure X not found in
// wsock32.dll Error #...".
void* Resolve(Fn fn);

template <typename F>
F Entry(Fn fn) {
  return reinterpret_cast<F>(Resolve(fn));
}

// Users of the library: every live socket component, every bracketed call
// and every lookup whose reply is still due. The library is unloaded
// (WSACleanup, FreeLibrary) when the count drops below 1.
void AddUser();
void RemoveUser();
int UserCount();
bool IsLoaded();

// Keeps the library loaded for the lifetime of the object.
class TUserRef {
 public:
  TUserRef() { AddUser(); }
  ~TUserRef() { RemoveUser(); }
  TUserRef(const TUserRef&) = delete;
  TUserRef& operator=(const TUserRef&) = delete;
};

// Requested version (1.1 by default); changeable only while not loaded.
// Returns false when the library is loaded.
bool SetRequestedVersion(BYTE low, BYTE high);
WORD RequestedVersion();
// The WSADATA filled by WSAStartup.
const WSADATA& StartupData();

// The window-class lock (registration of the hidden window class).
std::mutex& WindowClassLock();

// Typed wrappers over the entry points.
int LastError();
void SetLastError(int code);
SOCKET Socket(int af, int type, int protocol);
int CloseSocket(SOCKET s);
int Shutdown(SOCKET s, int how);
int Connect(SOCKET s, const sockaddr_in& address);
int Bind(SOCKET s, const sockaddr_in& address);
int Send(SOCKET s, const char* data, int length, int flags);
int SendTo(SOCKET s, const char* data, int length, int flags, const sockaddr_in& to);
int Recv(SOCKET s, char* data, int length, int flags);
int RecvFrom(SOCKET s, char* data, int length, int flags, sockaddr_in& from);
int Listen(SOCKET s, int backlog);
SOCKET Accept(SOCKET s, sockaddr_in& from);
int IoctlSocket(SOCKET s, long command, u_long* argument);
int SetSockOpt(SOCKET s, int level, int name, const void* value, int length);
int GetSockOpt(SOCKET s, int level, int name, void* value, int* length);  // bracketed
int GetSockName(SOCKET s, sockaddr_in& address);
int GetPeerName(SOCKET s, sockaddr_in& address);
int AsyncSelect(SOCKET s, HWND window, UINT message, long events);
HANDLE AsyncGetHostByName(HWND window, UINT message, const char* name, char* buffer, int size);
HANDLE AsyncGetHostByAddr(HWND window, UINT message, const char* address, int length, int type,
                          char* buffer, int size);
int CancelAsyncRequest(HANDLE request);
unsigned long InetAddr(const char* text);
hostent* GetHostByName(const char* name);
hostent* GetHostByAddr(const char* address, int length, int type);
servent* GetServByName(const char* name, const char* proto);
protoent* GetProtoByName(const char* name);
u_short Htons(u_short value);
u_short Ntohs(u_short value);
int GetHostName(char* name, int length);  // bracketed
int Ioctl(SOCKET s, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
          DWORD* returned);  // WSAIoctl from ws2_32, bracketed

}  // namespace corvan::net::winsock
