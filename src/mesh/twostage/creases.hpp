#pragma once
// The creases of one piece: outline edges of the face pieces where two plane faces meet at more
// than 3 degrees, chained per plane pair into polylines. The corners stage of the refinement reads
// them to find where crease lines meet.
#include <array>
#include <vector>

#include "mesh/pieces/face_pieces.hpp"
#include "mesh/faces/refine_points.hpp"

namespace qm::mesh {

// At least two points [x, y, z] from the face build's point map, with a plan length above 0; a
// closed line ends with its first point again.
struct CreaseLine {
  std::vector<std::array<double, 3>> points;
};

struct CreaseSet {
  std::vector<CreaseLine> lines;  // by plane pair ascending, within a pair in the order found
};

// Two face planes crease when their upward normals lie more than this many degrees apart.
inline constexpr double kCreaseDegrees = 3.0;
// A crease edge's end points lie within this height of both planes.
inline constexpr double kCreasePlaneTolerance = 0.1;

// The crease lines of the pieces; only the plane map of work is read. A ring key missing from the
// point map or a face id missing from the plane map is the fault "no entry found for key".
CreaseSet twostage_creases(const RefinePoints& work, const FacePieces& pieces);

}  // namespace qm::mesh
