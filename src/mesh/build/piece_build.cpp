// The piece build's driver: the stages in their order, the stop polls between them, the outcome.
#include "mesh/build/piece_build.hpp"

#include <utility>

#include "base/fault.hpp"
#include "base/span.hpp"
#include "mesh/pieces/face_pieces.hpp"
#include "mesh/reference/reference.hpp"
#include "mesh/outline/piece_cut.hpp"
#include "mesh/twostage/creases.hpp"
#include "mesh/twostage/twostage.hpp"

namespace qm::mesh {

namespace {

bool flags_stopped(const void* context) { return scheme_cancelled(*static_cast<const StopFlags*>(context)); }

MeshPiece plain_piece(const BuildRequest& request) {
  MeshPiece piece;
  piece.kind = MeshPiece::Kind::Plain;
  piece.holders = request.holders;
  return piece;
}

// The older pieces that give up ring cells, each with its ring cells, ascending by piece id.
std::map<std::uint64_t, std::set<Cell>> ring_cells_by_holder(const std::set<Cell>& ring,
                                                             const HashMap<Cell, std::uint64_t>& holder_map) {
  std::map<std::uint64_t, std::set<Cell>> out;
  for (const Cell& cell : ring) {
    const auto held = holder_map.find(cell);
    if (held == holder_map.end()) fault("a ring cell is held");
    out[held->second].insert(cell);
  }
  return out;
}

}  // namespace

bool scheme_cancelled(const StopFlags& flags) {
  if (flags.cancel != nullptr && flags.cancel->load(std::memory_order_acquire)) return true;
  return flags.stop != nullptr && flags.stop->load(std::memory_order_acquire);
}

StopCheck scheme_stop_check(const StopFlags& flags) { return StopCheck{&flags, &flags_stopped}; }

MeshPiece scheme_build(const BuildRequest& request, const BuildSnapshot& snapshot, const StopCheck& stop) {
  if (!request.sampling) return plain_piece(request);
  if (request.phase != 1 || !request.refined || request.refine_done == 0) fault("a request is built once sampled");
  SpanTimer build_span("scheme.build");
  check(request.refined.has_value(), "a sampled request has refined");
  const FaceWork& refined = *request.refined;

  // Faces, on a copy of the refined points (the request stays as it is).
  std::optional<FaceSet> faces;
  {
    RefinePoints copy = refined.points;
    faces = faces_build(copy, kPieceMode, stop);
  }
  if (!faces || stop()) return MeshPiece::stopped();

  std::optional<FacePieces> pieces = faces_pieces(refined.points, *faces);
  faces.reset();
  if (stop()) return MeshPiece::stopped();

  std::optional<ReferenceModel> reference;
  {
    SpanTimer span("twostage.reference");
    reference = reference_build(*pieces);
  }
  std::optional<CreaseSet> creases;
  {
    SpanTimer span("twostage.creases");
    creases = twostage_creases(refined.points, *pieces);
  }
  pieces.reset();
  if (stop()) return MeshPiece::stopped();

  const CellGrid grid = lattice_from_cells(request.cells);
  const std::int32_t origin_x = refined.points.origin_x;
  const std::int32_t origin_y = refined.points.origin_y;

  std::vector<SeedLine> seed_lines;
  {
    SpanTimer span("scheme.build.outline");
    const ReferenceModel& model = *reference;
    seed_lines = outline_seed_lines(request.cells, snapshot.holder_map, snapshot.meshes, origin_x, origin_y,
                                    [&model](double x, double y) { return reference_height(model, x, y); });
  }
  if (stop()) return MeshPiece::stopped();

  std::optional<TwostageResult> result =
      twostage(*reference, origin_x, origin_y, std::move(*creases), grid, seed_lines, stop);
  creases.reset();
  reference.reset();
  if (!result) return MeshPiece::stopped();

  MeshPiece piece;
  piece.kind = MeshPiece::Kind::Built;
  piece.counters = static_cast<const BuildCounters&>(*result);
  piece.mesh = CellMesh{std::move(result->vertices), std::move(result->triangles), 0, request.cells};
  result.reset();
  seed_lines = {};
  if (stop()) return MeshPiece::stopped();

  {
    SpanTimer span("scheme.build.cut");
    for (const auto& [id, ring_cells] : ring_cells_by_holder(request.ring, snapshot.holder_map)) {
      if (stop()) return MeshPiece::stopped();
      const auto older = snapshot.meshes.find(id);
      if (older == snapshot.meshes.end()) fault("no entry found for key");
      piece.recut.push_back(RecutPiece{id, older->second.cells, scheme_build_cut(older->second, ring_cells)});
    }
  }
  piece.holders = request.holders;
  return piece;
}

}  // namespace qm::mesh
