// The spread stage of the face build: each face reaches the neighbouring points on its plane,
// walked over the points' adjacency.
#include <algorithm>

#include "base/fault.hpp"
#include "mesh/faces/faces.hpp"
#include "mesh/faces/faces_stages.hpp"

namespace qm::mesh {

PointAdjacency point_adjacency(std::size_t point_count, const std::vector<std::array<std::uint64_t, 3>>& triangles) {
  PointAdjacency adj;
  adj.offsets.assign(point_count + 1, 0);
  for (const auto& t : triangles) {
    for (const std::uint64_t p : t) {
      check_index(p < point_count);
      adj.offsets[p + 1] += 3;
    }
  }
  for (std::size_t p = 0; p < point_count; ++p) adj.offsets[p + 1] += adj.offsets[p];
  std::vector<std::uint32_t> slots(adj.offsets[point_count]);
  std::vector<std::uint64_t> next(adj.offsets.begin(), adj.offsets.end() - 1);
  for (const auto& t : triangles) {
    for (const std::uint64_t p : t) {
      for (const std::uint64_t q : t) slots[next[p]++] = static_cast<std::uint32_t>(q);
    }
  }
  // Sort and de-duplicate each point's slots, compacting in place.
  std::uint64_t out = 0;
  for (std::size_t p = 0; p < point_count; ++p) {
    const auto begin = slots.begin() + static_cast<std::ptrdiff_t>(adj.offsets[p]);
    const auto end = slots.begin() + static_cast<std::ptrdiff_t>(adj.offsets[p + 1]);
    std::sort(begin, end);
    const auto unique_end = std::unique(begin, end);
    adj.offsets[p] = out;
    for (auto it = begin; it != unique_end; ++it) slots[out++] = *it;
  }
  adj.offsets[point_count] = out;
  slots.resize(out);
  slots.shrink_to_fit();
  adj.neighbours = std::move(slots);
  return adj;
}

std::vector<std::vector<std::uint32_t>> faces_walk(const RefinePoints& work, const PointAdjacency& adjacency) {
  const std::size_t n = work.xs.size();
  check_index(work.point_faces.size() >= n && adjacency.offsets.size() >= n + 1);
  std::vector<std::vector<std::uint32_t>> lists(work.point_faces.begin(), work.point_faces.begin() + static_cast<std::ptrdiff_t>(n));
  std::vector<std::uint32_t> stack;
  for (std::size_t p = 0; p < n; ++p) {
    if (!lists[p].empty()) stack.push_back(static_cast<std::uint32_t>(p));
  }
  struct Record {
    std::uint32_t id;
    Plane plane;
  };
  std::vector<Record> records;
  while (!stack.empty()) {
    const std::uint32_t p = stack.back();
    stack.pop_back();
    records.clear();
    for (const std::uint32_t id : lists[p]) records.push_back(Record{id, face_plane(work.planes, id)});
    for (std::uint64_t k = adjacency.offsets[p]; k < adjacency.offsets[p + 1]; ++k) {
      const std::uint32_t q = adjacency.neighbours[k];
      for (const Record& f : records) {
        if (faces_stages::holds(lists[q], f.id)) continue;
        if (!faces_stages::on_plane(f.plane, work.xs[q], work.ys[q], work.hs[q])) continue;
        faces_stages::insert_sorted(lists[q], f.id);
        stack.push_back(q);
      }
    }
  }
  return lists;
}

namespace faces_stages {

std::vector<std::vector<std::uint32_t>> spread(const RefinePoints& work, const PointAdjacency& adjacency) {
  return faces_walk(work, adjacency);
}

}  // namespace faces_stages

}  // namespace qm::mesh
