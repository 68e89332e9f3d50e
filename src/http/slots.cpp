#include "http/slots.hpp"

#include "base/clock.hpp"
#include "http/server.hpp"

namespace qm::server {

void ConnectionGiveBack::give_back(Server& server, const PeerAddress& peer) noexcept {
  server.peers.release_connection(peer, now_ns(), server.open_connections);
}

void StreamGiveBack::give_back(Server& server, const PeerAddress& peer) noexcept {
  server.peers.release_stream(peer, server.open_streams);
}

void TerrainRequestGiveBack::give_back(Server& server, const std::optional<PeerAddress>& peer) noexcept {
  if (peer) server.peers.release_terrain_request(*peer);
}

}  // namespace qm::server
