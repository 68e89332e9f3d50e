// The piece build's driver: the stages in their order, the stop polls between them, the outcome.
#include "terrain/mesh/scheme/piece_build.hpp"

#include <utility>

#include "module/fault.hpp"
#include "module/span.hpp"
#include "terrain/mesh/face_pieces.hpp"

namespace qm::mesh {

namespace {

bool poll_stopped(const void* context) { return scheme_cancelled(*static_cast<const StopPoll*>(context)); }

MeshPiece plain_piece(const BuildRequest& request) {
  MeshPiece piece;
  piece.kind = MeshPiece::Kind::Plain;
  piece.holders = request.holders;
  return piece;
}

}  // namespace

bool scheme_cancelled(const StopPoll& poll) {
  if (poll.cancel != nullptr && poll.cancel->load(std::memory_order_acquire)) return true;
  return poll.stop != nullptr && poll.stop->load(std::memory_order_acquire);
}

StopCheck scheme_stop_check(const StopPoll& poll) { return StopCheck{&poll, &poll_stopped}; }

MeshPiece scheme_build(const BuildRequest& request, const BuildSnapshot& snapshot, const StopPoll& stop) {
  (void)snapshot;
  if (!request.sampling) return plain_piece(request);
  if (request.phase != 1 || !request.refined || request.refine_done == 0) fault("a request is built once sampled");
  SpanTimer build_span("scheme.build");
  check(request.refined.has_value(), "a sampled request has refined");
  const FaceWork& refined = *request.refined;

  std::optional<FaceSet> faces;
  {
    RefinePoints copy = refined.points;
    faces = faces_build(copy, kPieceMode, scheme_stop_check(stop));
  }
  if (!faces) return MeshPiece::stopped();
  if (scheme_cancelled(stop)) return MeshPiece::stopped();

  FacePieces pieces = faces_pieces(refined.points, *faces);
  faces.reset();
  if (scheme_cancelled(stop)) return MeshPiece::stopped();

  fault("the piece build's reference surface is not built yet");
}

}  // namespace qm::mesh
