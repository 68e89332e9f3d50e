#include "platform/local_address.hpp"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "platform/socket_native.hpp"

namespace qm::platform {

using detail::fill;
using detail::fill_text;
using detail::to_native;

namespace {

// A UDP socket bound to `at`; invalid (and `error` filled) on failure.
Socket bound_udp(const SocketAddressV4& at, NetError* error) {
  if (!ensure_sockets(error)) return Socket();
  const SOCKET s = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) {
    fill(error, WSAGetLastError());
    return Socket();
  }
  Socket socket(static_cast<NativeSocket>(s));
  const sockaddr_in native = to_native(at);
  if (::bind(s, reinterpret_cast<const sockaddr*>(&native), sizeof native) != 0) {
    fill(error, WSAGetLastError());
    return Socket();
  }
  return socket;
}

}  // namespace

bool can_bind_udp(Ipv4Address address, NetError* error) {
  return static_cast<bool>(bound_udp(SocketAddressV4{address, 0}, error));
}

RouteSource route_source(const SocketAddressV4& towards) {
  RouteSource out;
  const Socket socket = bound_udp(SocketAddressV4{ipv4_any, 0}, &out.error);
  if (!socket) {
    out.outcome = RouteSource::Outcome::no_socket;
    return out;
  }
  const SOCKET s = static_cast<SOCKET>(socket.native());
  const sockaddr_in target = to_native(towards);
  if (::connect(s, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
    fill(&out.error, WSAGetLastError());
    return out;
  }
  sockaddr_storage local{};
  int length = sizeof local;
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    fill(&out.error, WSAGetLastError());
    return out;
  }
  if (local.ss_family != AF_INET || length < static_cast<int>(sizeof(sockaddr_in))) return out;
  const auto* v4 = reinterpret_cast<const sockaddr_in*>(&local);
  out.outcome = RouteSource::Outcome::found;
  out.address = Ipv4Address{ntohl(v4->sin_addr.s_addr)};
  return out;
}

}  // namespace qm::platform
