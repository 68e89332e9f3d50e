#include "routes/status_document.hpp"

#include "base/clock.hpp"
#include "host/module_state.hpp"
#include "routes/document_head.hpp"
#include "base/json.hpp"
#include "http/server.hpp"

namespace qm {

namespace {

double micros(std::uint64_t ns) { return static_cast<double>(ns) / 1000.0; }

void opt_text(std::string& out, const SharedText& text) {
  json_opt_string(out, text ? std::optional<std::string_view>(*text) : std::nullopt);
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
  mission_json(out, stats, snap, in.now_stamp);

  const bool own = snap.mission && snap.mission->on_own_server;
  out.append(",\"server\":");
  if (own) {
    out.append("{\"name\":");
    json_quote(out, text_view(snap.mission->server_name));
    out.append("}");
  } else {
    out.append("null");
  }
  out.append(",\"mission\":");
  if (own) {
    out.append("{\"name\":");
    json_quote(out, text_view(snap.mission->mission_name));
    out.append(",\"theatre\":");
    json_quote(out, text_view(snap.mission->theatre));
    out.append(",\"startTime\":");
    json_number(out, snap.mission->start_time, 0);
    out.append("}");
  } else {
    out.append("null");
  }

  out.append(",\"export\":{\"frames\":");
  json_uint(out, stats.export_frames.load(std::memory_order_relaxed));
  out.append(",\"costMicrosMean\":");
  json_number(out, stats.export_cost.mean_micros(), 4);
  out.append(",\"costMicrosMaxRecent\":");
  json_number(out, micros(stats.export_cost.max_recent(elapsed)), 4);
  out.append("}");

  const bool lan_enabled = in.server && in.server->lan_enabled;
  const bool lan_address = lan_enabled && in.lan.address.has_value();
  out.append(",\"lan\":{\"enabled\":");
  json_bool(out, lan_enabled);
  out.append(",\"address\":");
  json_opt_string(out, lan_address ? std::optional<std::string_view>(*in.lan.address) : std::nullopt);
  out.append(",\"listening\":");
  json_bool(out, lan_address);
  out.append(",\"error\":");
  opt_text(out, lan_enabled ? in.lan.error : SharedText());
  out.append("}");

  out.append(",\"health\":{\"pinned\":");
  json_bool(out, module_pinned());
  out.append(",\"uptimeSeconds\":");
  json_number(out, ns_to_seconds(elapsed), 1);
  out.append(",\"generation\":");
  if (in.server) {
    json_uint(out, in.server->generation);
  } else {
    out.append("null");
  }
  out.append(",\"listeningPort\":");
  if (in.server && in.server->listening_port) {
    json_uint(out, *in.server->listening_port);
  } else {
    out.append("null");
  }
  out.append(",\"openConnections\":");
  json_uint(out, in.server ? in.server->open_connections : 0);
  out.append(",\"error\":");
  opt_text(out, in.server_error);
  out.append(",\"frames\":");
  json_uint(out, stats.mission_frames.load(std::memory_order_relaxed));
  out.append(",\"hookCostMicrosMean\":");
  json_number(out, stats.hook_cost.mean_micros(), 4);
  out.append(",\"hookCostMicrosMaxRecent\":");
  json_number(out, micros(stats.hook_cost.max_recent(elapsed)), 4);
  out.append(",\"snapshot\":");
  json_uint(out, snap.sequence);
  out.append(",\"aircraft\":");
  json_uint(out, snap.aircraft.size());
  out.append(",\"neutrals\":");
  json_uint(out, snap.neutrals.size());
  out.append(",\"requests\":");
  json_uint(out, stats.requests.load(std::memory_order_relaxed));
  out.append(",\"rejected\":");
  json_uint(out, stats.rejected.load(std::memory_order_relaxed));
  out.append(",\"lastPanic\":");
  opt_text(out, in.last_panic);
  out.append("}");

  out.append(",\"mesh\":");
  out.append(in.mesh);
  out.append("}");
  return out;
}

std::string micros_json(std::string_view projection, const TerrainCostStats& terrain, std::uint32_t budget_micros,
                        std::uint64_t now_stamp, std::string_view terrain_text) {
  std::string out;
  out.reserve(512 + projection.size() + terrain_text.size());
  out.append("\"projection\":");
  out.append(projection);
  out.append(",\"slice\":{\"micros\":");
  json_uint(out, budget_micros);
  out.append(",\"frames\":");
  json_uint(out, terrain.cost.count.load(std::memory_order_relaxed));
  out.append(",\"meanMicros\":");
  json_number(out, terrain.cost.mean_micros(), 1);
  out.append(",\"p99Micros\":");
  const std::optional<std::uint64_t> p99 = terrain.p99_micros();
  if (p99) {
    json_uint(out, *p99);
  } else {
    out.append("null");
  }
  out.append(",\"maxRecentMicros\":");
  json_number(out, micros(terrain.cost.max_recent(stamp_elapsed(now_stamp))), 1);
  out.append(",\"coldFrames\":");
  json_uint(out, terrain.cold_frames.load(std::memory_order_relaxed));
  out.append(",\"coldPoints\":");
  json_uint(out, terrain.cold_points.load(std::memory_order_relaxed));
  out.append(",\"samplingFrames\":");
  json_uint(out, terrain.sampling_frames.load(std::memory_order_relaxed));
  out.append(",\"dryFrames\":");
  json_uint(out, terrain.dry_frames.load(std::memory_order_relaxed));
  out.append("},");
  out.append(terrain_text);
  return out;
}

}  // namespace qm
