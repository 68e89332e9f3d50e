// The steps of the local-address checks, the same on both systems (the socket calls they make are
// in posix/socket.cpp and win32/socket.cpp).
#include "platform/local_address.hpp"

#include "platform/socket_native.hpp"

namespace qm::platform {

using detail::last_os_error;
using detail::raw;

namespace {

// A UDP socket bound to `at`, or why not.
Result<Socket, NetError> bound_udp(const SocketAddressV4& at) {
  Result<Socket, NetError> made = detail::open_socket(SOCK_DGRAM);
  if (!made) return made;
  const sockaddr_in native = detail::to_native(at);
  if (::bind(raw(*made), reinterpret_cast<const sockaddr*>(&native), sizeof native) != 0)
    return failure(last_os_error());
  return made;
}

}  // namespace

Result<void, NetError> can_bind_udp(Ipv4Address address) {
  const Result<Socket, NetError> bound = bound_udp(SocketAddressV4{address, 0});
  if (!bound) return failure(bound.error());
  return {};
}

RouteSource route_source(const SocketAddressV4& towards) {
  RouteSource out;
  const Result<Socket, NetError> bound = bound_udp(SocketAddressV4{ipv4_any, 0});
  if (!bound) {
    out.outcome = RouteSource::Outcome::no_socket;
    out.error = bound.error();
    return out;
  }
  const sockaddr_in target = detail::to_native(towards);
  int rc;
  do {
    rc = ::connect(raw(*bound), reinterpret_cast<const sockaddr*>(&target), sizeof target);
  } while (rc != 0 && detail::last_error() == detail::kInterrupted);
  if (rc != 0) {
    out.error = last_os_error();
    return out;
  }
  sockaddr_storage local{};
  detail::AddressLength length = 0;
  if (!detail::local_native(raw(*bound), local, length)) {
    out.error = last_os_error();
    return out;
  }
  if (local.ss_family != AF_INET || length < static_cast<detail::AddressLength>(sizeof(sockaddr_in))) return out;
  out.outcome = RouteSource::Outcome::found;
  out.address = detail::from_native(local).address;
  return out;
}

}  // namespace qm::platform
