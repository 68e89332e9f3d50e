#pragma once
// GET /v1/mesh: checks the query, the mission, the worker message and the stream limits, registers
// the stream (filing its terrain job when it has areas in the running theatre) and hands it to the
// connection thread, which runs it on its socket.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/result.hpp"
#include "platform/socket.hpp"
#include "http/peer_table.hpp"
#include "http/slots.hpp"
#include "streams/mesh_request.hpp"
#include "streams/stream_session.hpp"

namespace qm {

namespace server {
class Server;
}

struct MeshJobHold;  // the guards of a stream's terrain job

// A registered stream, ready to run: its request, the 200 head, its plan, and what it holds.
struct MeshStreamStart {
  MeshRequest request;
  std::string head;
  StreamPlan plan;
  std::shared_ptr<MeshJobHold> job;  // none for a job-less stream
  std::optional<server::RequestSlot> slot;
};

using MeshRouteResult = Result<MeshStreamStart, std::string>;

// A stream to run, or the answer that refuses it. `start` is the monotonic instant the request was routed;
// `origin_lines` go into every answer.
MeshRouteResult mesh_route(const std::shared_ptr<server::Server>& server, std::string_view query,
                           const server::PeerAddress& peer, std::string_view origin_lines, std::uint64_t start);

// Runs a started stream on the connection's socket to its end, then lets go of its job.
StreamEnd run_mesh_stream(platform::Socket& socket, MeshStreamStart start, server::Server& server);

}  // namespace qm
