#include "geo/projection_status.hpp"

#include "base/json.hpp"

namespace qm {

std::string projection_json(const Projection& projection) {
  std::string out;
  JsonWriter w(out);
  w.begin_object();
  w.key("kind").text(projection.label());
  if (projection.kind == Projection::kTm) {
    w.key("centralMeridian").number(projection.central_meridian, 9);
    w.key("scale").number(projection.scale, 9);
    w.key("xOffset").number(projection.x_offset, 4);
    w.key("zOffset").number(projection.z_offset, 4);
  }
  if (projection.kind == Projection::kTm || projection.kind == Projection::kBlocks)
    w.key("worstMetres").number(projection.worst, 6);
  w.end_object();
  return out;
}

std::optional<std::string> status_projection_json(const Snapshot& snapshot, bool wait) {
  Anchors anchors;  // absent unless a mission on the own server has converted them
  if (snapshot.mission && snapshot.mission->on_own_server && snapshot.mission->anchors.is_present()) {
    anchors = snapshot.mission->anchors;
  }
  ProjectionRef projection;
  if (wait) {
    projection = projection_for(anchors);
  } else {
    auto tried = try_projection_for(anchors);
    if (!tried) return std::nullopt;  // the cache lock is held: busy
    projection = std::move(*tried);
  }
  return projection_json(*projection);
}

}  // namespace qm
