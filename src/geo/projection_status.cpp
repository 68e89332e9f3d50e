#include "geo/projection_status.hpp"

#include "base/json.hpp"

namespace qm {

std::string projection_json(const Projection& projection) {
  std::string out;
  switch (projection.kind) {
    case Projection::kTm:
      out.append("{\"kind\":\"tm\",\"centralMeridian\":");
      json_number(out, projection.central_meridian, 9);
      out.append(",\"scale\":");
      json_number(out, projection.scale, 9);
      out.append(",\"xOffset\":");
      json_number(out, projection.x_offset, 4);
      out.append(",\"zOffset\":");
      json_number(out, projection.z_offset, 4);
      out.append(",\"worstMetres\":");
      json_number(out, projection.worst, 6);
      out.append("}");
      break;
    case Projection::kBlocks:
      out.append("{\"kind\":\"blocks\",\"worstMetres\":");
      json_number(out, projection.worst, 6);
      out.append("}");
      break;
    default:
      out.append("{\"kind\":\"none\"}");
  }
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
