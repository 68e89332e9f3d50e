#pragma once
// Helpers shared by the POSIX and Win32 socket code: the native IPv4 address and error filling.
// Included only by the platform's own .cpp files.
#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#endif

#include "platform/socket.hpp"

namespace qm::platform::detail {

inline sockaddr_in to_native(const SocketAddressV4& address) {
  sockaddr_in native{};
  native.sin_family = AF_INET;
  native.sin_port = htons(address.port);
  native.sin_addr.s_addr = htonl(address.address.value);
  return native;
}

inline void fill(NetError* error, int code) {
  if (error) {
    error->code = code;
    error->text = socket_error_text(code);
  }
}

inline void fill_text(NetError* error, int code, const char* text) {
  if (error) {
    error->code = code;
    error->text = text;
  }
}

}  // namespace qm::platform::detail
