#pragma once
// What this PC's own IPv4 addresses are right now, asked of the operating system through UDP
// sockets that never send a packet.
#include <cstdint>

#include "platform/result.hpp"
#include "platform/socket.hpp"

namespace qm::platform {

// Success when `address` belongs to this PC at this moment: a UDP socket can be bound to
// (address, port 0). The socket is closed at once. Otherwise the error of the bind.
Result<void, NetError> can_bind_udp(Ipv4Address address);

// The local address that the routing table picks for traffic towards `towards`.
struct RouteSource {
  enum class Outcome : std::uint8_t {
    found,      // `address` is the local address of the route (it may be 0.0.0.0)
    no_socket,  // no UDP socket could be created or bound to 0.0.0.0:0; `error` says why
    no_route,   // the connect or the local-address read failed, or the address is not IPv4
  } outcome = Outcome::no_route;
  Ipv4Address address;
  NetError error;
};

// Creates a UDP socket bound to 0.0.0.0 port 0, connects it to `towards` (a UDP connect sends
// nothing) and reads the local address the system chose.
RouteSource route_source(const SocketAddressV4& towards);

}  // namespace qm::platform
