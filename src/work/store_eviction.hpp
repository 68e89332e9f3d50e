#pragma once
// Holds the Store under its eviction limit (64 MiB): what the held theatre's jobs still need is
// protected, unprotected samples go first, then unprotected, unpinned entries, oldest stamp first,
// until the unpinned part of the estimate is within the limit. A job that had pinned an evicted
// entry wants the entry's cells again.
#include <cstdint>
#include <set>
#include <vector>

#include "work/schedule.hpp"

namespace qm {

// With the schedule lock held. The keys of the evicted entries in eviction order; empty (and
// nothing allocated) while the estimate is within the limit.
std::vector<std::uint64_t> split_store_into_cells(Schedule& schedule);

}  // namespace qm
