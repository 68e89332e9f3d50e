#pragma once
// The three stages of faces_pieces, in the order it runs them. Internal to the face pieces.
#include "terrain/mesh/face_pieces.hpp"

namespace qm::mesh::face_pieces_stages {

using PointMap = std::map<PointKey, std::array<double, 3>>;

// Every kept triangle cut into pieces on one face each (or one loose piece), rings without
// cyclic repeats, rings of fewer than three keys dropped.
std::vector<FacePiece> cut(const RefinePoints& work, const FaceSet& faces, PointMap& points);
// Loose pieces grouped, edge to edge, on the plane through each group's first piece.
void linear(std::vector<FacePiece>& pieces, const PointMap& points);
// The kept points that lie on a ring edge inserted into it.
void split(std::vector<FacePiece>& pieces, const PointMap& points);

}  // namespace qm::mesh::face_pieces_stages
