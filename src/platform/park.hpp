#pragma once
#include <atomic>
#include <cstdint>
#include <memory>

namespace qm::platform {

// The park/unpark token of one thread. An unpark that comes before the park is kept: the next park
// returns at once. Only its own thread parks; any thread may unpark, the host's thread among them
// (unpark takes no lock and never waits). How the module's threads wait: src/concurrency.md.
class Parker {
 public:
  void unpark();
  // Parks until unparked or until `timeout_ns` has passed.
  void park(std::uint64_t timeout_ns);

 private:
  // 1 = a token is waiting. The unpark's release pairs with the park's acquire: what the unparking
  // thread did before is seen by the parked one once it returns with the token.
  std::atomic<std::uint32_t> state_{0};
};

// The calling thread's token; others keep the shared reference to unpark it.
std::shared_ptr<Parker> current_parker();

}  // namespace qm::platform
