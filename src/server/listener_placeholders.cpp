// The LAN thread bodies until the LAN listener is built: each only waits for its server's stop flag
// and ends soon after it is set. The LAN listener code replaces this file.
#include "module/fault.hpp"
#include "server/server.hpp"

namespace qm::server {

namespace {
void wait_until_stopped(const Server& server) {
  while (!server.wait_for_stop(100'000'000)) {
  }
}
}  // namespace

void run_lan_thread(std::shared_ptr<Server> server) {
  try {
    wait_until_stopped(*server);
  } catch (...) {
    (void)caught_message();
  }
}

void run_lan_thread_fixed(std::shared_ptr<Server> server, platform::Ipv4Address) {
  try {
    wait_until_stopped(*server);
  } catch (...) {
    (void)caught_message();
  }
}

}  // namespace qm::server
