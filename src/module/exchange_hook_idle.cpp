// Until the terrain exchange with the host exists, a frame has no terrain work to end. The terrain
// exchange replaces this file with its own `end_exchange_frame`.
#include "module/exchange_hook.hpp"

namespace qm {

void end_exchange_frame() {}

}  // namespace qm
