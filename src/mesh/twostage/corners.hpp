#pragma once
// The corner stage of the two-stage refinement: where three or more crease lines end close
// together, a straight direction is fitted to each line near that place, the lines are
// intersected in the least-squares sense and, when the meeting point is plausible, the lines are
// trimmed to end exactly there. Every remaining crease line is then simplified to the few points
// that follow it within 0.25 and inserted into the working mesh, consecutive points joined by
// ordinary edges. The corners found feed the spacing test of the insertion rounds.
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace qm::mesh {

struct TwostageMesh;
struct CreaseSet;

// A crease polyline as the corner stage works on it: points [x, y, z] in piece-local coordinates.
using CornerLine = std::vector<std::array<double, 3>>;

// The four counts of the corner stage, in the order the refinement's result lists them.
struct CornerCounts {
  std::uint64_t crease_lines = 0;       // crease lines walked
  std::uint64_t crease_points = 0;      // points of the simplified lines
  std::uint64_t corners = 0;            // corners accepted
  std::uint64_t rejected_clusters = 0;  // clusters of three or more lines that gave no corner
};

// What the corner search makes of a set of crease lines before anything touches the mesh.
struct CornerFit {
  std::vector<std::array<double, 3>> corners;  // accepted corners, in the order found
  std::vector<CornerLine> lines;               // the trimmed lines that are kept, in input order
  std::uint64_t corner_count = 0;
  std::uint64_t rejected_clusters = 0;
};

// The tests a fitted corner must pass against the piece. `covered` (local x, y) says whether the
// point lies strictly inside the group's covered area (all four cells around it present); it is
// asked for the corner and for every endpoint of its cluster. `place` (local x, y) gives the
// height of a corner that may be inserted there, or nothing when a fixed edge passes too close
// or the reference surface has no height there.
struct CornerPlacement {
  std::function<bool(double x, double y)> covered;
  std::function<std::optional<double>(double x, double y)> place;
};

// Finds the corners of the lines and trims the lines to them. Lines wholly within the trimming
// radius of a corner and lines of fewer than two points are left out of the result.
CornerFit fit_corners(const std::vector<CornerLine>& lines, const CornerPlacement& placement);

// Simplifies a polyline: keeps its two end points and, recursively, the worst interior point
// while some point strays more than 0.25 from the chord, horizontally or in height.
std::vector<std::array<double, 3>> twostage_walk(std::span<const std::array<double, 3>> points);

// What the corner stage hands on: the corners for the rounds' spacing test and its counts.
struct CornerStage {
  std::vector<std::array<double, 3>> corners;  // accepted corners [x, y, reference height], in order found
  CornerCounts counts;
};

// The corner stage of one piece, timed as "twostage.corners": sets the mesh's stage code to the
// corner stage's, fits corners to the crease lines (taken over and dropped here), then inserts
// every kept line, simplified, into the mesh with ordinary edges between consecutive points. A
// corner must lie strictly inside the group's cells with its cluster's endpoints, on the reference
// surface and at least 0.001 from every fixed edge. Polls no stop request.
CornerStage twostage_corners(TwostageMesh& mesh, CreaseSet creases);

}  // namespace qm::mesh
