#pragma once
// Small reference surfaces for the two-stage refinement's tests: planar polygons with their
// heights, turned into face pieces and built into a reference model.
#include <array>
#include <functional>
#include <vector>

#include "mesh/pieces/face_pieces.hpp"
#include "mesh/reference/reference.hpp"

namespace qm::mesh::fixture {

// A polygon of (x, y) corners, counter-clockwise, not closed.
using Polygon = std::vector<std::array<double, 2>>;

// Face pieces of the polygons with heights from `height`; corners shared by two polygons (same
// position) become one point.
FacePieces polygon_pieces(const std::vector<Polygon>& polygons, const std::function<double(double, double)>& height);

// The reference model of those pieces.
ReferenceModel polygon_reference(const std::vector<Polygon>& polygons,
                                 const std::function<double(double, double)>& height);

}  // namespace qm::mesh::fixture

namespace qm::mesh::fixture {

// A plane h = c + a x + b y.
struct PlaneSpec {
  double c, a, b;
  double at(double x, double y) const { return c + a * x + b * y; }
};

// The surface min over the planes on the rectangle [x0, x1] by [y0, y1]: one polygon per plane
// (its part of the rectangle, corners rounded to 1/1024 so that neighbours share them), and the
// surface's height function.
struct PlanesSurface {
  std::vector<Polygon> polygons;
  std::function<double(double, double)> height;
};
PlanesSurface min_of_planes(const std::vector<PlaneSpec>& planes, double x0, double y0, double x1, double y1);

}  // namespace qm::mesh::fixture
