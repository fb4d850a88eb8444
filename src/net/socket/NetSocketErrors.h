#pragma once
// English descriptions of Windows Sockets error codes and the message text
// the socket layer builds from them.
#include <string>
#include <string_view>

namespace corvan::net {

// Description of a Windows Sockets error code; "Not a WinSock error" for a
// code outside the table.
std::string NetSocketErrorDesc(int code);

// "Error <code> in function <function>" CR LF <description>.
std::string SocketErrorMessage(int code, std::string_view function);

}  // namespace corvan::net
