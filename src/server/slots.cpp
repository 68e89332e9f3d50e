#include "server/slots.hpp"

#include "module/clock.hpp"
#include "server/server.hpp"

namespace qm::server {

// A moved-from guard holds no server and gives back nothing.

void ConnectionSlot::release() noexcept {
  if (!server_) return;
  server_->peers.release_connection(peer_, now_ns(), server_->open_connections);
  server_.reset();
}

void RequestSlot::release() noexcept {
  if (!server_) return;
  server_->peers.release_stream(peer_, server_->open_streams);
  server_.reset();
}

void ClientSlot::release() noexcept {
  if (!server_) return;
  if (peer_) server_->peers.release_terrain_request(*peer_);
  server_.reset();
}

}  // namespace qm::server
