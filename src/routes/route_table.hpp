#pragma once
// The one table where the routes meet the server: what a connection answers its five paths with
// (the status, the two unit documents, terrain heights and mesh streams, which take the socket over).
#include "http/connection.hpp"
#include "http/slots.hpp"

namespace qm::server {

// The routes over one connection's slot (a `RouteTable`, installed by `start`).
Routes connection_routes(ConnectionSlot& slot, SocketTakeover& takeover);

}  // namespace qm::server
