#include "routes/status_document.hpp"

#include "base/clock.hpp"
#include "host/module_state.hpp"
#include "routes/document_head.hpp"
#include "base/json.hpp"
#include "base/shared_text.hpp"
#include "http/server.hpp"
#include "platform/time_units.hpp"

namespace qm {

namespace {

double micros(std::uint64_t ns) { return static_cast<double>(ns) / kNanosPerMicro; }

// The mean cost and the largest recent one of a hook, in microseconds.
void cost_members(JsonWriter& w, std::string_view mean_key, std::string_view max_key, const CostStats& cost,
                  std::uint64_t elapsed) {
  w.key(mean_key).number(cost.mean_micros(), 4);
  w.key(max_key).number(micros(cost.max_recent(elapsed)), 4);
}

void server_and_mission(JsonWriter& w, const Snapshot& snap) {
  const bool own = snap.mission && snap.mission->on_own_server;
  w.key("server");
  if (own) {
    w.begin_object().key("name").text(text_view(snap.mission->server_name)).end_object();
  } else {
    w.null();
  }
  w.key("mission");
  if (own) {
    w.begin_object();
    w.key("name").text(text_view(snap.mission->mission_name));
    w.key("theatre").text(text_view(snap.mission->theatre));
    w.key("startTime").number(snap.mission->start_time, 0);
    w.end_object();
  } else {
    w.null();
  }
}

void lan_object(JsonWriter& w, const StatusInputs& in) {
  const bool lan_enabled = in.server && in.server->lan_enabled;
  const bool lan_address = lan_enabled && in.lan.address.has_value();
  w.key("lan").begin_object();
  w.key("enabled").boolean(lan_enabled);
  w.key("address").opt_text(lan_address ? opt_view(in.lan.address) : std::nullopt);
  w.key("listening").boolean(lan_address);
  w.key("error").opt_text(lan_enabled ? opt_view(in.lan.error) : std::nullopt);
  w.end_object();
}

void health_object(JsonWriter& w, const StatusInputs& in, std::uint64_t elapsed) {
  const ModuleStats& stats = *in.stats;
  const Snapshot& snap = *in.snapshot;
  w.key("health").begin_object();
  w.key("pinned").boolean(module_pinned());
  w.key("uptimeSeconds").number(ns_to_seconds(elapsed), 1);
  w.key("generation").opt_uint(in.server ? std::optional<std::uint64_t>(in.server->generation) : std::nullopt);
  w.key("listeningPort").opt_uint(in.server ? in.server->listening_port : std::nullopt);
  w.key("openConnections").integer(in.server ? in.server->open_connections : 0);
  w.key("error").opt_text(opt_view(in.server_error));
  w.key("frames").integer(stats.mission_frames.load(std::memory_order_relaxed));
  cost_members(w, "hookCostMicrosMean", "hookCostMicrosMaxRecent", stats.hook_cost, elapsed);
  w.key("snapshot").integer(snap.sequence);
  w.key("aircraft").integer(snap.aircraft.size());
  w.key("neutrals").integer(snap.neutrals.size());
  w.key("requests").integer(stats.requests.load(std::memory_order_relaxed));
  w.key("rejected").integer(stats.rejected.load(std::memory_order_relaxed));
  w.key("lastPanic").opt_text(opt_view(in.last_panic));
  w.end_object();
}

}  // namespace

ServerFacts server_facts(const server::Server& server) {
  ServerFacts facts;
  facts.generation = server.generation;
  if (server.running.load(std::memory_order_relaxed)) facts.listening_port = server.port;
  facts.open_connections = server.open_connections.load(std::memory_order_relaxed);
  facts.lan_enabled = server.lan_mode.kind != server::LanModeKind::off;
  return facts;
}

LanFacts lan_facts(const server::LanState& state) {
  LanFacts facts;
  if (state.address) facts.address = state.address->to_string();
  facts.error = state.error;
  return facts;
}

std::string status_json(const StatusInputs& in) {
  const ModuleStats& stats = *in.stats;
  const Snapshot& snap = *in.snapshot;
  const std::uint64_t elapsed = stamp_elapsed(in.now_stamp);
  std::string out;
  out.reserve(2048 + in.mesh.size());
  JsonWriter w(out);
  mission_json(w, stats, snap, in.now_stamp);
  server_and_mission(w, snap);

  w.key("export").begin_object();
  w.key("frames").integer(stats.export_frames.load(std::memory_order_relaxed));
  cost_members(w, "costMicrosMean", "costMicrosMaxRecent", stats.export_cost, elapsed);
  w.end_object();

  lan_object(w, in);
  health_object(w, in, elapsed);
  w.key("mesh").raw(in.mesh);
  w.end_object();
  return out;
}

std::string micros_json(std::string_view projection, const TerrainCostStats& terrain, std::uint32_t budget_micros,
                        std::uint64_t now_stamp, std::string_view terrain_text) {
  std::string out;
  out.reserve(512 + projection.size() + terrain_text.size());
  JsonWriter w(out);
  w.key("projection").raw(projection);
  w.key("slice").begin_object();
  w.key("micros").integer(budget_micros);
  w.key("frames").integer(terrain.cost.count.load(std::memory_order_relaxed));
  w.key("meanMicros").number(terrain.cost.mean_micros(), 1);
  w.key("p99Micros").opt_uint(terrain.p99_micros());
  w.key("maxRecentMicros").number(micros(terrain.cost.max_recent(stamp_elapsed(now_stamp))), 1);
  w.key("coldFrames").integer(terrain.cold_frames.load(std::memory_order_relaxed));
  w.key("coldPoints").integer(terrain.cold_points.load(std::memory_order_relaxed));
  w.key("samplingFrames").integer(terrain.sampling_frames.load(std::memory_order_relaxed));
  w.key("dryFrames").integer(terrain.dry_frames.load(std::memory_order_relaxed));
  w.end_object();
  w.raw_members(terrain_text);
  return out;
}

}  // namespace qm
