#pragma once
// The LAN listener: the address check, the listener with its accept thread, and the bodies of the
// "quillmarsh-exporter-lan" thread for the automatic and the given-address modes.
#include <memory>
#include <optional>
#include <string>

#include "platform/socket.hpp"
#include "http/lan_supervisor.hpp"

namespace qm::server {

class Server;

// Nothing when the address belongs to this PC now (a UDP socket binds to it), else
// "{address} isn't an address of this PC at the moment".
Result<void, std::string> check_local_address(platform::Ipv4Address address);

// The automatic mode's wanted address: the local address of the route towards a documentation
// address (no packet is sent), when it is a private one.
WantedAddress find_lan_address();

// Binds a listener on (address, the server's port) and starts "quillmarsh-exporter-lan-accept" on
// it. Failure texts: "bind {}:{}: {}" and "could not start the LAN accept thread: {}".
StartedListener start_lan_accept(const std::shared_ptr<Server>& server, platform::Ipv4Address address);

// The accept thread's body: the accept loop in LAN mode until the listener's stop flag (or the
// server's) is set, faults caught; then the listener is closed and `stopped` set.
void lan_accept_thread_main(const std::shared_ptr<Server>& server, platform::Socket socket,
                            const std::shared_ptr<LanListener>& listener);

}  // namespace qm::server
