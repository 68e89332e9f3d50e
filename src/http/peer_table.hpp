#pragma once
// Per-peer admission limits: a table of `ClientEntry` records keyed by the peer's IP address, each
// with its open counts and two token buckets, and the LAN-wide connection bucket. The table's lock
// guards every entry; the LAN bucket has a lock of its own, taken only inside the table's lock.
#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

#include "base/hashing.hpp"
#include "platform/handback.hpp"

namespace qm::server {

struct ServerConfig;

// A peer's IP address: IPv4 (the first four bytes) or IPv6 (all sixteen).
struct PeerAddress {
  bool v6 = false;
  std::array<std::uint8_t, 16> bytes{};

  static PeerAddress ipv4(std::uint32_t host_order_value);
  static PeerAddress ipv6(const std::array<std::uint8_t, 16>& bytes);

  // 127.x.x.x or ::1.
  bool is_loopback() const;
  // The peers a listener serves at all: IPv4 in 10/8, 127/8, 172.16/12 or 192.168/16, or exactly
  // ::1 (an IPv4-mapped IPv6 address is refused).
  bool may_connect() const;

  friend bool operator==(const PeerAddress&, const PeerAddress&) = default;
};

inline void hash_write(SeededHasher& h, const PeerAddress& a) {
  h.write(a.v6 ? 6 : 4);
  h.write_bytes(a.bytes.data(), a.v6 ? 16 : 4);
}

// Monotonic instants and durations in nanoseconds.
using Instant = std::uint64_t;

// Refills one token bucket to `now`: level = min(level + elapsed seconds × rate, burst), where a
// NaN sum gives the burst and a NaN burst keeps the sum; last refill = now. A `now` that is not
// later than the last refill adds nothing.
void refill_bucket(double& level, Instant& last_refill, double rate, double burst, Instant now);

struct ClientEntry {
  std::uint64_t connections = 0;
  std::uint64_t terrain_requests = 0;
  std::uint64_t streams = 0;
  double points = 0.0;       // lane 0: terrain-point tokens
  double connection = 0.0;   // lane 1: connection tokens
  Instant last_refill = 0;

  // A fresh entry: no counts, both lanes full.
  static ClientEntry fresh(const ServerConfig& config, Instant now);
  // Both lanes refilled with one elapsed time.
  void refill(const ServerConfig& config, Instant now);
  // No counts and both lanes at least at their bursts.
  bool idle(const ServerConfig& config) const;
};

enum class Admission { admitted, busy };

// The answer to a terrain request's charge: admitted, or busy with the seconds the peer should wait.
struct TerrainAdmission {
  Admission admission = Admission::admitted;
  std::uint64_t retry_after = 0;  // when busy: 1 to 60

  friend bool operator==(const TerrainAdmission&, const TerrainAdmission&) = default;
};

// The entries are made by connection threads and freed with the server, which may happen on the
// host's thread: each is freed on the side that made it.
using PeerEntries = std::unordered_map<PeerAddress, ClientEntry, SeededHash<PeerAddress>, std::equal_to<PeerAddress>,
                                       platform::SideAllocator<std::pair<const PeerAddress, ClientEntry>>>;

// Threads: the accept loops admit, connection threads take and give back, all under the peer lock,
// held for one operation; the LAN-wide bucket has its own lock, taken only inside the peer lock. The
// host's thread never touches the table. The order of the locks: src/concurrency.md.
class PeerTable {
 public:
  PeerTable(const ServerConfig& config, Instant now);
  PeerTable(const PeerTable&) = delete;
  PeerTable& operator=(const PeerTable&) = delete;

  // Admission of an accepted peer at `now` (already past the peer filter). Admitted: the peer's
  // lane 1 lost a token, its connections and `open_connections` grew by one; the caller now owns
  // one connection slot and gives it back with `release_connection`.
  Admission admit(const PeerAddress& peer, Instant now, std::atomic<std::uint64_t>& open_connections);

  // A mesh stream for the peer at `now`. Busy when `open_streams` reached the server's limit, when
  // the open connections leave no room for the streams' reserve (and, for a LAN peer, the loopback
  // reserve), or when the peer has all its streams open. Admitted: the peer's streams and
  // `open_streams` grew by one; the caller gives it back with `release_stream`.
  Admission take_stream(const PeerAddress& peer, Instant now, std::atomic<std::uint64_t>& open_streams,
                        const std::atomic<std::uint64_t>& open_connections);

  // A terrain request in flight that asks the host for `points` heights at `now`. Busy, to retry in
  // a second, when the peer has all its terrain requests in flight; busy, to retry when the point
  // lane would have refilled (1 to 60 s), when lane 0 holds fewer than `points` tokens. Admitted:
  // lane 0 lost `points` tokens and the peer's terrain requests grew by one; the caller gives it
  // back with `release_terrain_request`.
  TerrainAdmission take_terrain_request(const PeerAddress& peer, Instant now, std::size_t points);

  // Gives back one connection: the entry's count (never below 0), a refill, the entry erased when
  // idle; `open_connections` is lowered whether or not the entry was found.
  void release_connection(const PeerAddress& peer, Instant now, std::atomic<std::uint64_t>& open_connections);
  // Gives back one mesh stream: the entry's count (never below 0) and `open_streams`.
  void release_stream(const PeerAddress& peer, std::atomic<std::uint64_t>& open_streams);
  // Gives back one terrain request in flight (never below 0).
  void release_terrain_request(const PeerAddress& peer);

  // Under the lock: the number of entries, and a copy of one (for tests).
  std::size_t size();
  bool find(const PeerAddress& peer, ClientEntry& out);

 private:
  friend struct TestAccess;

  // With 64 entries or more: every entry refilled to `now`, every idle one erased.
  void prune_locked(Instant now);
  // The peer's entry, made fresh at `now` when it has none (after a prune when `prune` is set).
  ClientEntry& entry_locked(const PeerAddress& peer, Instant now, bool prune);

  const ServerConfig& config_;
  std::mutex lock_;
  PeerEntries entries_;
  std::mutex lan_lock_;
  double lan_level_;
  Instant lan_last_refill_;
};

// A table of this many entries or more is pruned when a new peer comes.
inline constexpr std::size_t peer_prune_threshold = 64;

}  // namespace qm::server
