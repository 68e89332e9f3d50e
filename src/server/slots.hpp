#pragma once
// The guards that give back what a connection, a mesh stream or a terrain request holds of its
// server and peer: exactly once, when dropped, on every path (faults included). Each is taken after
// its count was raised under the peer lock.
#include <memory>
#include <optional>

#include "server/peer_table.hpp"

namespace qm::server {

class Server;

// One admitted connection: gives back the peer's connection count and `open_connections`.
class ConnectionSlot {
 public:
  ConnectionSlot(std::shared_ptr<Server> server, const PeerAddress& peer) : server_(std::move(server)), peer_(peer) {}
  ~ConnectionSlot() { release(); }
  ConnectionSlot(ConnectionSlot&& other) noexcept = default;
  ConnectionSlot& operator=(ConnectionSlot&&) = delete;
  ConnectionSlot(const ConnectionSlot&) = delete;
  ConnectionSlot& operator=(const ConnectionSlot&) = delete;

  Server& server() const { return *server_; }
  const std::shared_ptr<Server>& shared_server() const { return server_; }
  const PeerAddress& peer() const { return peer_; }
  void release() noexcept;

 private:
  std::shared_ptr<Server> server_;
  PeerAddress peer_;
};

// One open mesh stream: gives back the peer's stream count and `open_streams`.
class RequestSlot {
 public:
  RequestSlot(std::shared_ptr<Server> server, const PeerAddress& peer) : server_(std::move(server)), peer_(peer) {}
  ~RequestSlot() { release(); }
  RequestSlot(RequestSlot&& other) noexcept = default;
  RequestSlot& operator=(RequestSlot&&) = delete;
  RequestSlot(const RequestSlot&) = delete;
  RequestSlot& operator=(const RequestSlot&) = delete;
  void release() noexcept;

 private:
  std::shared_ptr<Server> server_;
  PeerAddress peer_;
};

// One terrain request in flight: gives back the peer's count (nothing without a peer).
class ClientSlot {
 public:
  ClientSlot(std::shared_ptr<Server> server, std::optional<PeerAddress> peer) : server_(std::move(server)), peer_(peer) {}
  ~ClientSlot() { release(); }
  ClientSlot(ClientSlot&& other) noexcept = default;
  ClientSlot& operator=(ClientSlot&&) = delete;
  ClientSlot(const ClientSlot&) = delete;
  ClientSlot& operator=(const ClientSlot&) = delete;
  void release() noexcept;

 private:
  std::shared_ptr<Server> server_;
  std::optional<PeerAddress> peer_;
};

}  // namespace qm::server
