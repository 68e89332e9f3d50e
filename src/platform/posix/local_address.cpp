#include "platform/local_address.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

#include "platform/socket_native.hpp"

namespace qm::platform {

using detail::fill;
using detail::fill_text;
using detail::to_native;

namespace {

// A UDP socket bound to `at`; invalid (and `error` filled) on failure.
Socket bound_udp(const SocketAddressV4& at, NetError* error) {
  Socket socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!socket) {
    fill(error, errno);
    return Socket();
  }
  const sockaddr_in native = to_native(at);
  if (::bind(socket.native(), reinterpret_cast<const sockaddr*>(&native), sizeof native) != 0) {
    fill(error, errno);
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
  const sockaddr_in target = to_native(towards);
  int rc;
  do {
    rc = ::connect(socket.native(), reinterpret_cast<const sockaddr*>(&target), sizeof target);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    fill(&out.error, errno);
    return out;
  }
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  if (::getsockname(socket.native(), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    fill(&out.error, errno);
    return out;
  }
  if (local.ss_family != AF_INET || length < static_cast<socklen_t>(sizeof(sockaddr_in))) return out;
  const auto* v4 = reinterpret_cast<const sockaddr_in*>(&local);
  out.outcome = RouteSource::Outcome::found;
  out.address = Ipv4Address{ntohl(v4->sin_addr.s_addr)};
  return out;
}

}  // namespace qm::platform
