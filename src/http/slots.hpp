#pragma once
// The guards that give back what a connection, a mesh stream or a terrain request holds of its
// server and peer: exactly once, when dropped, on every path (faults included). Each is taken after
// its count was raised under the peer lock.
#include <memory>
#include <optional>

#include "http/peer_table.hpp"

namespace qm::server {

class Server;

// A guard over what one admission took: holds the server until it gives back, exactly once;
// a moved-from guard holds no server and gives back nothing. `GiveBack` names what is given back.
template <class GiveBack>
class ServerSlot {
 public:
  using Peer = typename GiveBack::Peer;

  ServerSlot(std::shared_ptr<Server> server, Peer peer) : server_(std::move(server)), peer_(std::move(peer)) {}
  ~ServerSlot() { release(); }
  ServerSlot(ServerSlot&& other) noexcept = default;
  ServerSlot& operator=(ServerSlot&&) = delete;
  ServerSlot(const ServerSlot&) = delete;
  ServerSlot& operator=(const ServerSlot&) = delete;

  Server& server() const { return *server_; }
  const std::shared_ptr<Server>& shared_server() const { return server_; }
  const Peer& peer() const { return peer_; }
  void release() noexcept {
    if (!server_) return;
    GiveBack::give_back(*server_, peer_);
    server_.reset();
  }

 private:
  std::shared_ptr<Server> server_;
  Peer peer_;
};

// One admitted connection: gives back the peer's connection count and `open_connections`.
struct ConnectionGiveBack {
  using Peer = PeerAddress;
  static void give_back(Server& server, const PeerAddress& peer) noexcept;
};
using ConnectionSlot = ServerSlot<ConnectionGiveBack>;

// One open mesh stream: gives back the peer's stream count and `open_streams`.
struct StreamGiveBack {
  using Peer = PeerAddress;
  static void give_back(Server& server, const PeerAddress& peer) noexcept;
};
using RequestSlot = ServerSlot<StreamGiveBack>;

// One terrain request in flight: gives back the peer's count (nothing without a peer).
struct TerrainRequestGiveBack {
  using Peer = std::optional<PeerAddress>;
  static void give_back(Server& server, const std::optional<PeerAddress>& peer) noexcept;
};
using ClientSlot = ServerSlot<TerrainRequestGiveBack>;

}  // namespace qm::server
