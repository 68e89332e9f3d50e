#pragma once
// The blocks projection: for maps that no transverse Mercator fits, 8000 x 8000 blocks each with
// its own quadratic surfaces, fitted from nine conversions that the host makes on request. Fits are
// cached per theatre for the life of the process.
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "geo/block_fit.hpp"
#include "host/map_conversions.hpp"
#include "geo/region.hpp"

namespace qm {

// Keyed SipHash-1-3 of a theatre's bytes under the key pair drawn when the map was made.
struct TheatreHash {
  KeyPair key = draw_key_pair();
  std::size_t operator()(const std::string& theatre) const;
};

// The fits of every theatre seen under the blocks projection. Nothing is ever removed. Connection
// threads read and store under its lock, never held while the host is asked.
struct BlockFitCache {
  std::mutex lock;
  std::optional<std::unordered_map<std::string, BlockFitMap, TheatreHash>> theatres;  // made on first store
};

// The process-wide cache (made on first use, never destroyed).
BlockFitCache& block_fit_cache();

// Blocks asked in one conversion batch: nine points each, a quarter of the conversion queue's
// limit, so that the batches of other requests (blocks or area outlines) fit beside it. A batch
// that filled the queue would be refused whenever anything else was queued.
inline constexpr std::size_t kBlocksPerBatch = kConversionQueueLimit / 4 / 9;

// The fits of the given blocks: the cached ones, and the missing ones asked of the host in batches
// within one deadline (now + wait). Fits of fully answered blocks are cached as they come; none
// when some conversion went unanswered. Blocks whose conversions gave no usable fit are left out.
std::optional<BlockFitMap> block_fits(const TheatreRef& theatre, const std::vector<BlockKey>& keys,
                                      std::chrono::nanoseconds wait, const ConvertPoints& convert,
                                      BlockFitCache& cache = block_fit_cache());

// What a mesh request under the blocks projection goes on with.
struct BlocksView {
  Region region;
  TheatreRef theatre;
  BlockFitMap fits;
};

// The blocks holding the region's cells with their eight neighbours, ascending.
std::vector<BlockKey> region_blocks(const Region& region);

// Fits every block near the region's cells, waiting until start + wait (instants in the module's
// monotonic nanoseconds); none when conversions went unanswered.
std::optional<BlocksView> page_blocks(std::uint64_t start_ns, std::chrono::nanoseconds wait, const TheatreRef& theatre,
                                      Region region, const ConvertPoints& convert,
                                      BlockFitCache& cache = block_fit_cache());

// The blocks of map points (x, z) that the fits lack, one per point (repeats possible).
std::vector<BlockKey> missing_block_keys(const BlockFitMap& fits, const std::vector<std::array<double, 2>>& points);

}  // namespace qm
