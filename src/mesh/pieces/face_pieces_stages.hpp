#pragma once
// The three stages of faces_pieces, in the order it runs them, over a compact form of the pieces:
// points by number, rings as runs of point numbers. Internal to the face pieces.
#include <array>
#include <cstdint>
#include <vector>

#include "mesh/pieces/face_pieces.hpp"

namespace qm::mesh::face_pieces_stages {

struct PieceWork {
  std::vector<PointKey> keys;                  // per point number, its key (each key once)
  std::vector<std::array<double, 3>> values;   // per point number: x, y, height
  std::vector<PieceOwner> owners;              // per piece
  std::vector<std::size_t> ring_starts;        // piece r's ring: ring_ids[ring_starts[r] .. ring_starts[r + 1])
  std::vector<std::uint32_t> ring_ids;

  std::size_t piece_count() const { return owners.size(); }
};

// Every kept triangle cut into pieces on one face each (or one loose piece), rings without
// cyclic repeats, rings of fewer than three keys dropped.
PieceWork cut(const RefinePoints& work, const FaceSet& faces);
// Loose pieces grouped, edge to edge, on the plane through each group's first piece.
void linear(PieceWork& pieces);
// The kept points that lie on a ring edge inserted into it.
void split(PieceWork& pieces);
// The pieces with their rings as keys, and every point kept, by key.
FacePieces finish(const PieceWork& pieces);

}  // namespace qm::mesh::face_pieces_stages
