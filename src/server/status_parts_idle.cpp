// The status members of subsystems that do not exist yet, as the document shows them before they
// do: no terrain state, no streams ever registered. Each subsystem moves its own
// function out of this file when it lands.
#include "module/hashing.hpp"
#include "server/status_parts.hpp"

namespace qm {

std::optional<std::string> terrain_status_json(bool) { return std::string("\"store\":null,\"work\":null"); }

std::optional<std::string> streams_status_json(std::string_view micros_text, std::uint64_t, bool) {
  std::string out;
  out.append("{\"epoch\":\"");
  out.append(epoch_hex());
  out.append("\",");
  out.append(micros_text);
  out.append(
      ",\"streams\":{\"open\":[],\"opened\":0,\"ends\":{\"complete\":0,\"replaced\":0,\"theatre\":0,\"server\":0,"
      "\"error\":0,\"stopped\":0,\"closed\":0,\"reset\":0,\"timeout\":0},\"recent\":[]}}");
  return out;
}

}  // namespace qm
