#include "http/peer_table.hpp"

#include <algorithm>
#include <cmath>

#include "platform/socket.hpp"
#include "http/server.hpp"
#include "base/clock.hpp"

namespace qm::server {

PeerAddress PeerAddress::ipv4(std::uint32_t value) {
  PeerAddress a;
  a.bytes[0] = static_cast<std::uint8_t>(value >> 24);
  a.bytes[1] = static_cast<std::uint8_t>(value >> 16);
  a.bytes[2] = static_cast<std::uint8_t>(value >> 8);
  a.bytes[3] = static_cast<std::uint8_t>(value);
  return a;
}

PeerAddress PeerAddress::ipv6(const std::array<std::uint8_t, 16>& bytes) {
  PeerAddress a;
  a.v6 = true;
  a.bytes = bytes;
  return a;
}

namespace {
bool is_ipv6_loopback(const std::array<std::uint8_t, 16>& b) {
  for (std::size_t i = 0; i < 15; ++i)
    if (b[i] != 0) return false;
  return b[15] == 1;
}
}  // namespace

bool PeerAddress::is_loopback() const { return v6 ? is_ipv6_loopback(bytes) : bytes[0] == 127; }

bool PeerAddress::may_connect() const {
  if (v6) return is_ipv6_loopback(bytes);
  const auto a = platform::Ipv4Address::from_octets(bytes[0], bytes[1], bytes[2], bytes[3]);
  return a.is_private() || a.is_loopback();
}

void refill_bucket(double& level, Instant& last_refill, double rate, double burst, Instant now) {
  double elapsed = 0.0;
  if (now > last_refill) {
    const Instant ns = now - last_refill;
    elapsed = ns_to_seconds(ns);
  }
  const double sum = level + elapsed * rate;
  // fmin: a NaN on one side gives the other side.
  level = std::fmin(sum, burst);
  last_refill = now;
}

ClientEntry ClientEntry::fresh(const ServerConfig& config, Instant now) {
  ClientEntry e;
  e.points = config.point_burst;
  e.connection = config.connection_burst;
  e.last_refill = now;
  return e;
}

void ClientEntry::refill(const ServerConfig& config, Instant now) {
  Instant last = last_refill;
  refill_bucket(points, last, config.point_rate, config.point_burst, now);
  refill_bucket(connection, last_refill, config.connection_rate, config.connection_burst, now);
}

bool ClientEntry::idle(const ServerConfig& config) const {
  return connections == 0 && terrain_requests == 0 && streams == 0 && points >= config.point_burst &&
         connection >= config.connection_burst;
}

PeerTable::PeerTable(const ServerConfig& config, Instant now)
    : config_(config), lan_level_(config.lan_burst), lan_last_refill_(now) {}

void PeerTable::prune_locked(Instant now) {
  for (auto it = entries_.begin(); it != entries_.end();) {
    it->second.refill(config_, now);
    if (it->second.idle(config_))
      it = entries_.erase(it);
    else
      ++it;
  }
}

ClientEntry& PeerTable::entry_locked(const PeerAddress& peer, Instant now, bool prune) {
  auto it = entries_.find(peer);
  if (it == entries_.end()) {
    if (prune && entries_.size() >= peer_prune_threshold) prune_locked(now);
    it = entries_.emplace(peer, ClientEntry::fresh(config_, now)).first;
  }
  return it->second;
}

Admission PeerTable::admit(const PeerAddress& peer, Instant now, std::atomic<std::uint64_t>& open_connections) {
  std::lock_guard<std::mutex> guard(lock_);
  const bool loopback = peer.is_loopback();
  const std::uint64_t open = open_connections.load();
  if (loopback ? open >= config_.max_connections : open + config_.loopback_reserve >= config_.max_connections)
    return Admission::busy;
  ClientEntry& entry = entry_locked(peer, now, true);
  entry.refill(config_, now);
  if (entry.connections >= config_.connections_per_peer || entry.connection < 1.0) return Admission::busy;
  if (!loopback) {
    std::lock_guard<std::mutex> lan_guard(lan_lock_);
    refill_bucket(lan_level_, lan_last_refill_, config_.lan_rate, config_.lan_burst, now);
    if (!(lan_level_ >= 1.0)) return Admission::busy;
    lan_level_ -= 1.0;
  }
  entry.connection -= 1.0;
  entry.connections += 1;
  open_connections.fetch_add(1);
  return Admission::admitted;
}

Admission PeerTable::take_stream(const PeerAddress& peer, Instant now, std::atomic<std::uint64_t>& open_streams,
                                 const std::atomic<std::uint64_t>& open_connections) {
  std::lock_guard<std::mutex> guard(lock_);
  if (open_streams.load() >= config_.max_streams) return Admission::busy;
  const std::uint64_t reserve = peer.is_loopback() ? 0 : config_.loopback_reserve;
  if (open_connections.load() + reserve + config_.stream_connection_reserve > config_.max_connections)
    return Admission::busy;
  ClientEntry& entry = entry_locked(peer, now, false);
  if (entry.streams >= config_.streams_per_peer) return Admission::busy;
  entry.streams += 1;
  open_streams.fetch_add(1);
  return Admission::admitted;
}

TerrainAdmission PeerTable::take_terrain_request(const PeerAddress& peer, Instant now, std::size_t points) {
  std::lock_guard<std::mutex> guard(lock_);
  ClientEntry& entry = entry_locked(peer, now, false);
  if (entry.terrain_requests >= config_.terrain_requests_per_peer) return {Admission::busy, 1};
  entry.refill(config_, now);
  const double wanted = static_cast<double>(points);
  if (entry.points < wanted) {
    const double seconds = std::ceil((wanted - entry.points) / config_.point_rate);
    return {Admission::busy, static_cast<std::uint64_t>(std::clamp(seconds, 1.0, 60.0))};
  }
  entry.points -= wanted;
  entry.terrain_requests += 1;
  return {Admission::admitted, 0};
}

void PeerTable::release_connection(const PeerAddress& peer, Instant now, std::atomic<std::uint64_t>& open_connections) {
  std::lock_guard<std::mutex> guard(lock_);
  const auto it = entries_.find(peer);
  if (it != entries_.end()) {
    ClientEntry& entry = it->second;
    if (entry.connections > 0) entry.connections -= 1;
    entry.refill(config_, now);
    if (entry.idle(config_)) entries_.erase(it);
  }
  open_connections.fetch_sub(1);
}

void PeerTable::release_stream(const PeerAddress& peer, std::atomic<std::uint64_t>& open_streams) {
  std::lock_guard<std::mutex> guard(lock_);
  const auto it = entries_.find(peer);
  if (it != entries_.end() && it->second.streams > 0) it->second.streams -= 1;
  open_streams.fetch_sub(1);
}

void PeerTable::release_terrain_request(const PeerAddress& peer) {
  std::lock_guard<std::mutex> guard(lock_);
  const auto it = entries_.find(peer);
  if (it != entries_.end() && it->second.terrain_requests > 0) it->second.terrain_requests -= 1;
}

std::size_t PeerTable::size() {
  std::lock_guard<std::mutex> guard(lock_);
  return entries_.size();
}

bool PeerTable::find(const PeerAddress& peer, ClientEntry& out) {
  std::lock_guard<std::mutex> guard(lock_);
  const auto it = entries_.find(peer);
  if (it == entries_.end()) return false;
  out = it->second;
  return true;
}

}  // namespace qm::server
