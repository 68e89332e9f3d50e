#pragma once
// The re-cut of an older piece that gives up cells to a new piece: its mesh cut back to the cells
// it keeps, bordered along every side it shares with a given-up cell by its own outline there, so
// that the new piece, seeded from the same outlines, meets it at the same points.
#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "base/hashing.hpp"
#include "mesh/grid/cell_grid.hpp"
#include "mesh/outline/cell_mesh.hpp"

namespace qm::mesh {

// Position keys in thousandths: (round(x / 0.001), round(y / 0.001)), halves away from zero,
// saturated to i64, NaN giving 0.
using ThousandthKey = std::pair<std::int64_t, std::int64_t>;
ThousandthKey thousandth_key(double x, double y);

// A new vertex within 0.001 of (x, y), probing the nine keys around the position's key in order
// (dx outer, dy inner, -1 to 1); each key holds only the latest vertex stored under it.
std::optional<std::uint64_t> near_point(const HashMap<ThousandthKey, std::uint64_t>& index,
                                        const std::vector<std::array<double, 3>>& vertices, double x, double y);

// The older mesh cut back to its cells that are not ring cells: none when it keeps no cell.
// Every triangle of the result is counter-clockwise; its id is 0 and its cells the kept cells.
std::optional<CellMesh> scheme_build_cut(const CellMesh& older, const std::set<Cell>& ring);

}  // namespace qm::mesh
