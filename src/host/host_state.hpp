#pragma once
// What the host's mission hook tells the module: the running mission, its units and the player's
// own unit, kept per Lua thread in a `LuaState` between `frame` and `frame_end`.
#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "base/shared_text.hpp"
#include "base/thread_own.hpp"
#include "host/anchors.hpp"

namespace qm {

inline std::string_view text_view(const SharedText& text) { return text ? std::string_view(*text) : std::string_view(); }

// The multiplayer server name this module serves game data for (compared trimmed).
inline constexpr std::string_view own_server_name = "<< QuillMarsh Server  P-V-E>>";

struct MissionInfo {
  std::optional<double> start_time;
  Anchors anchors;
  SharedText server_name;
  SharedText mission_name;
  SharedText theatre;
  bool on_own_server = false;
};

struct UnitRecord {
  std::optional<double> heading;  // map heading, degrees
  std::optional<double> ground;
  SharedText type;
  SharedText name;
  SharedText group;
  std::uint64_t id = 0;
  double t = 0.0;
  std::array<std::uint32_t, 4> levels{};
  double lat = 0.0;
  double lon = 0.0;
  double alt = 0.0;
  bool human = false;
  bool invisible = false;
  std::uint8_t coalition = 0;  // 0 neutral, 1 red, 2 blue

  bool is_aircraft() const { return levels[0] == 1 && (levels[1] == 1 || levels[1] == 2); }
};

struct LuaState {
  std::optional<std::uint64_t> self_id;
  std::optional<std::set<std::uint64_t>> scan_set;
  std::optional<MissionInfo> mission;
  std::optional<std::uint64_t> last_publication;  // monotonic ns
  std::map<std::uint64_t, UnitRecord> aircraft;
  std::map<std::uint64_t, UnitRecord> neutrals;
  std::uint64_t mission_generation = 0;
  bool changed = false;
  bool publish_now = false;

  bool on_own_server() const { return mission && mission->on_own_server; }
};

// Exclusive use of the calling thread's `LuaState` (created on the thread's first use). Taking it
// twice on one thread, or on a thread whose records are being torn down, is a fault. Hold it only
// while reading or changing the state, never while pushing Lua values.
class LuaStateBorrow : public ThreadOwnBorrow<LuaState> {
 public:
  LuaStateBorrow() : ThreadOwnBorrow("state") {}
};

// The theatre of the calling thread's mission when it runs on the own server, else none.
std::optional<SharedText> current_own_theatre();

// The process-wide mission generation counter (raised by every `mission_start` and `mission_stop`).
// Relaxed: its numbers only have to differ; the state they stamp is published with the snapshot.
std::atomic<std::uint64_t>& mission_generation_counter();

// Unit ids from the host: whole numbers with 0 < id < 2^53.
std::optional<std::uint64_t> valid_unit_id(std::optional<double> value);

// The map heading in degrees, [0, 360) in 0.1 steps, of a heading in radians at a position: only in
// the theatre "Afghanistan" (grid convergence of a transverse Mercator with central meridian 63 E).
std::optional<double> map_heading(std::string_view theatre, double lat, double lon, double heading_radians);

}  // namespace qm
