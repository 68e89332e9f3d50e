#pragma once
// The face pieces: the explained triangles of a face build cut along the lines where their
// faces' planes cross, into polygons that each lie on one face (or, for triangles no face
// explains, loose triangles gathered into groups on one common plane), with every point of a
// neighbouring polygon that lies on an edge inserted into that edge: a conforming planar
// subdivision of the kept triangles.
#include <array>
#include <compare>
#include <cstdint>
#include <map>
#include <vector>

#include "base/hashing.hpp"
#include "mesh/faces/faces.hpp"
#include "mesh/faces/refine_points.hpp"

namespace qm::mesh {

// The identity of a point kept by the pieces.
struct PointKey {
  enum class Kind : std::uint8_t {
    Sample = 0,    // first: the sample index
    Crossing = 1,  // first < second: the samples at the ends of the triangle edge it lies on
    Junction = 2,  // first: the triangle index
  };
  Kind kind = Kind::Sample;
  std::uint64_t first = 0;
  std::uint64_t second = 0;  // 0 unless Crossing

  static PointKey sample(std::uint64_t i) { return {Kind::Sample, i, 0}; }
  static PointKey crossing(std::uint64_t a, std::uint64_t b) { return {Kind::Crossing, a < b ? a : b, a < b ? b : a}; }
  static PointKey junction(std::uint64_t t) { return {Kind::Junction, t, 0}; }

  friend auto operator<=>(const PointKey&, const PointKey&) = default;
  friend bool operator==(const PointKey&, const PointKey&) = default;
};

inline void hash_write(SeededHasher& h, const PointKey& key) {
  h.write(static_cast<std::uint64_t>(key.kind));
  h.write(key.first);
  if (key.kind == PointKey::Kind::Crossing) h.write(key.second);
}

// What a piece lies on: a face's plane, or (Loose) a group of loose triangles; during the cut a
// loose piece's value is its triangle index, afterwards the position of its group's first piece.
struct PieceOwner {
  enum class Kind : std::uint8_t { Face = 0, Loose = 1 };
  Kind kind = Kind::Face;
  std::uint64_t value = 0;

  static PieceOwner face(std::uint32_t id) { return {Kind::Face, id}; }
  static PieceOwner loose(std::uint64_t v) { return {Kind::Loose, v}; }
  friend auto operator<=>(const PieceOwner&, const PieceOwner&) = default;
  friend bool operator==(const PieceOwner&, const PieceOwner&) = default;
};

struct FacePiece {
  PieceOwner owner;
  std::vector<PointKey> ring;  // counter-clockwise, not closed
};

struct FacePieces {
  std::vector<FacePiece> pieces;
  std::map<PointKey, std::array<double, 3>> points;  // x, y, height; the first value inserted stays
};

// The pieces of a face build's kept triangles. Reads work and faces only. Faults: "a flat
// triangle's face", "a crease's faces", "a junction's faces", "a junction's point", "no entry found
// for key" (a face without a plane) and "index out of range" for broken face build output.
FacePieces faces_pieces(const RefinePoints& work, const FaceSet& faces);

}  // namespace qm::mesh
