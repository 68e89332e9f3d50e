#pragma once
// The reference surface of one piece: the face pieces' rings cut into triangles by ear clipping,
// the triangles' edges with the angles between the planes that meet there, and three compressed
// indexes of 8-unit cells (points, triangles, edges). Every later stage of the piece build measures
// its working mesh against this surface: heights, slopes, located triangles. Built once per piece
// build on the builder thread, read-only afterwards.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "base/hashing.hpp"
#include "mesh/pieces/face_pieces.hpp"

namespace qm::mesh {

using ReferencePoint = std::array<double, 3>;        // x, y (piece-local), height
using ReferenceTriangle = std::array<std::uint32_t, 3>;  // point indices
using ReferenceEdge = std::pair<std::uint32_t, std::uint32_t>;  // lower index first
// (round(x*1000), round(y*1000)), halves away from zero, saturated to i64, NaN giving 0.
using PositionKey = std::pair<std::int64_t, std::int64_t>;

// The 8-unit cell of a coordinate: floor(v * 0.125), saturated to i32, NaN giving 0.
std::int32_t cell_of(double v);

// The thousandths key of a position.
PositionKey position_key(double x, double y);

// A compressed index over 8-unit cells: the items of cell k are items[offsets[k] .. offsets[k+1]),
// ascending; cell (cx, cy) inside the grid is k = (cx - x0)*h + (cy - y0).
struct ReferenceGrid {
  std::vector<std::uint32_t> offsets;  // w*h + 1 entries, starting at 0, never decreasing
  std::vector<std::uint32_t> items;
  std::int32_t x0 = 0;
  std::int32_t y0 = 0;
  std::int32_t w = 0;
  std::int32_t h = 0;

  bool inside(std::int64_t cx, std::int64_t cy) const {
    return cx - x0 >= 0 && cx - x0 < w && cy - y0 >= 0 && cy - y0 < h;
  }
  // The items of a cell; nothing for a cell outside the grid.
  std::span<const std::uint32_t> at(std::int64_t cx, std::int64_t cy) const;
};

struct ReferenceModel {
  std::vector<ReferencePoint> points;        // the ring points, in ascending key order
  std::vector<ReferenceTriangle> triangles;  // in ring order; ears counter-clockwise
  std::vector<ReferenceEdge> edges;          // one per distinct triangle side, ascending
  std::vector<double> edge_angles;           // degrees between the two sides' planes, else 0
  ReferenceGrid point_grid;
  ReferenceGrid triangle_grid;
  ReferenceGrid edge_grid;  // items are positions in edges
  HashMap<PositionKey, std::uint32_t> vertex_index;  // the first point with each key
};

// The reference surface of the face pieces. A ring key missing from the point map is the fault
// "a piece's vertex".
ReferenceModel reference_build(const FacePieces& pieces);

// Ear clipping of one ring of point indices (not closed; the ring is reversed in place when it runs
// clockwise and consumed as ears are cut), appending the triangles to out. Nearly collinear
// triangles (|cross| < 1e-9) are not emitted; a ring with no ear left is fanned from its first point.
void triangulate_ring(std::span<const ReferencePoint> points, std::vector<std::uint32_t>& ring,
                      std::vector<ReferenceTriangle>& out);

// The angle in degrees (0 to 90) between the upward unit normals of two triangles.
double normals_angle_degrees(const std::array<ReferencePoint, 3>& first, const std::array<ReferencePoint, 3>& second);

// Barycentric weights of (x, y) in the triangle a, b, c and twice its signed area (det).
struct Barycentric {
  double det = 0.0;
  double l1 = 0.0;
  double l2 = 0.0;
  double l3 = 0.0;
  // The smallest weight, a NaN weight ignored.
  double smallest() const;
};
Barycentric barycentric(const ReferencePoint& a, const ReferencePoint& b, const ReferencePoint& c, double x, double y);

// The first triangle listed in the cell of (x, y) that holds the point (weights >= -1e-9).
std::optional<std::uint32_t> reference_locate(const ReferenceModel& model, double x, double y);
// The height of the located triangle's plane at (x, y).
std::optional<double> reference_height_at(const ReferenceModel& model, double x, double y);
// reference_height_at, else the height at the nearest boundary point of a triangle within four
// rings of cells; NaN when there is none.
double reference_height(const ReferenceModel& model, double x, double y);
// The height gradient (dz/dx, dz/dy) of the located triangle.
std::optional<std::pair<double, double>> reference_slope_at(const ReferenceModel& model, double x, double y);

// A point and a triangle's corners by index; an index outside the model is "index out of range".
const ReferencePoint& reference_point(const ReferenceModel& model, std::uint32_t index);
std::array<ReferencePoint, 3> reference_triangle_points(const ReferenceModel& model, std::uint32_t triangle);

}  // namespace qm::mesh
