#pragma once
// The stop poll of the mesh builds: the face build, the refine pass and the piece build with its
// two-stage refinement all ask the same kind of poll whether to give up. It is a plain function
// and its context, cheap to copy and to call; the caller owns the context and keeps it alive
// while the poll is in use.

namespace qm::mesh {

// True when the build is to stop. An empty poll never stops.
struct StopCheck {
  const void* context = nullptr;
  bool (*poll)(const void* context) = nullptr;
  bool operator()() const { return poll != nullptr && poll(context); }
};

}  // namespace qm::mesh
