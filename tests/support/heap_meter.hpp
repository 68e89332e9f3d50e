#pragma once
// Heap accounting for the programs that measure a group's memory (the pipeline benchmark and the
// memory tests), which link heap/counting_new.cpp: every block that operator new hands out counts
// as heap_block_bytes of its request until it is deleted. Other programs count nothing: there
// heap_counting() is false and every figure 0.
#include <cstdint>

namespace qm::mesh::fixture {

bool heap_counting();
std::uint64_t heap_live();
// The most bytes live at once since the last heap_restart_peak.
std::uint64_t heap_peak();
void heap_restart_peak();

// While one is alive, the blocks this thread allocates are not counted, nor their deletes: the
// fake host's and the answer store's records, which stand for what lives outside a group.
class HeapUncounted {
 public:
  HeapUncounted();
  ~HeapUncounted();
  HeapUncounted(const HeapUncounted&) = delete;
  HeapUncounted& operator=(const HeapUncounted&) = delete;
};

// The counting operator new reports through these.
namespace heap_meter {
bool uncounted_now();
void allocated(std::uint64_t bytes);
void deleted(std::uint64_t bytes);
}  // namespace heap_meter

}  // namespace qm::mesh::fixture
