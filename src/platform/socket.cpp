// The platform-independent half of the socket layer: address parsing and formatting, and the
// operations whose steps are the same on both systems (the system calls they make are in
// posix/socket.cpp and win32/socket.cpp).
#include "platform/socket.hpp"

#include <charconv>

#include "platform/clock.hpp"
#include "platform/socket_native.hpp"

namespace qm::platform {

std::string Ipv4Address::to_string() const {
  std::string out;
  out.reserve(15);
  char digits[4];
  const auto parts = octets();
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) out.push_back('.');
    const auto end = std::to_chars(digits, digits + sizeof digits, static_cast<unsigned>(parts[i])).ptr;
    out.append(digits, end);
  }
  return out;
}

std::optional<Ipv4Address> parse_ipv4(std::string_view text) {
  std::uint32_t value = 0;
  std::size_t pos = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (pos >= text.size() || text[pos] != '.') return std::nullopt;
      ++pos;
    }
    const std::size_t begin = pos;
    unsigned octet = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - begin < 3) {
      octet = octet * 10 + static_cast<unsigned>(text[pos] - '0');
      ++pos;
    }
    const std::size_t digits = pos - begin;
    if (digits == 0 || octet > 255) return std::nullopt;
    if (digits > 1 && text[begin] == '0') return std::nullopt;
    value = (value << 8) | octet;
  }
  if (pos != text.size()) return std::nullopt;  // a fourth digit, a fifth part or anything trailing
  return Ipv4Address{value};
}

std::string SocketAddressV4::to_string() const {
  std::string out = address.to_string();
  out.push_back(':');
  char digits[8];
  const auto end = std::to_chars(digits, digits + sizeof digits, static_cast<unsigned>(port)).ptr;
  out.append(digits, end);
  return out;
}

using detail::last_os_error;
using detail::raw;

bool NetError::address_in_use() const { return code == detail::kAddressInUse; }
bool NetError::timed_out() const { return code == detail::kTimedOut || detail::would_block(code); }

Result<Socket, NetError> connect_tcp(const SocketAddressV4& to, std::uint64_t timeout_ns) {
  if (timeout_ns == 0) return failure(detail::zero_timeout());
  Result<Socket, NetError> made = detail::open_socket(SOCK_STREAM);
  if (!made) return made;
  Socket socket = std::move(made).value();
  if (!detail::set_blocking(raw(socket), false)) return failure(last_os_error());
  const sockaddr_in native = detail::to_native(to);
  if (::connect(raw(socket), reinterpret_cast<const sockaddr*>(&native), sizeof native) != 0) {
    const int code = detail::last_error();
    if (!detail::connect_pending(code)) return failure(detail::os_error(code));
    const std::uint64_t deadline = monotonic_ns() + timeout_ns;
    for (;;) {
      const std::uint64_t now = monotonic_ns();
      if (now >= deadline) return failure(detail::os_error(detail::kTimedOut));
      const int ready = detail::wait_writable(raw(socket), deadline - now);
      if (ready < 0) return failure(last_os_error());
      if (ready == 0) continue;  // the deadline check above ends the wait
      break;
    }
    int so_error = 0;
    detail::AddressLength length = sizeof so_error;
    if (::getsockopt(raw(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so_error), &length) != 0)
      return failure(last_os_error());
    if (so_error != 0) return failure(detail::os_error(so_error));
  }
  if (!detail::set_blocking(raw(socket), true)) return failure(last_os_error());
  return socket;
}

Result<Socket, NetError> listen_tcp(const SocketAddressV4& at) {
  Result<Socket, NetError> made = detail::open_socket(SOCK_STREAM);
  if (!made) return made;
  Socket socket = std::move(made).value();
  if (!detail::prepare_listener(raw(socket))) return failure(last_os_error());
  const sockaddr_in native = detail::to_native(at);
  if (::bind(raw(socket), reinterpret_cast<const sockaddr*>(&native), sizeof native) != 0 ||
      ::listen(raw(socket), 128) != 0 || !detail::set_blocking(raw(socket), false))
    return failure(last_os_error());
  return socket;
}

Accepted accept_tcp(const Socket& listener, std::uint64_t timeout_ns) {
  Accepted out;
  if (timeout_ns == 0) {
    out.error = detail::zero_timeout();
    return out;
  }
  const int ready = detail::wait_readable(raw(listener), timeout_ns);
  if (ready < 0) {
    out.error = last_os_error();
    return out;
  }
  if (ready == 0) {
    out.status = Accepted::Status::timed_out;
    return out;
  }
  sockaddr_storage peer{};
  const NativeSocket accepted = detail::accept_native(raw(listener), peer);
  if (accepted == invalid_native_socket) {
    // Gone again between the wake-up and the accept: nothing to count.
    const int code = detail::last_error();
    if (detail::accept_gone(code)) {
      out.status = Accepted::Status::timed_out;
    } else {
      out.error = detail::os_error(code);
    }
    return out;
  }
  out.socket = Socket(accepted);
  out.status = Accepted::Status::accepted;
  out.peer = detail::peer_of(peer);
  return out;
}

std::optional<SocketAddressV4> local_address(const Socket& socket) {
  sockaddr_storage local{};
  detail::AddressLength length = 0;
  if (!detail::local_native(raw(socket), local, length) || local.ss_family != AF_INET) return std::nullopt;
  return detail::from_native(local);
}

Result<void, NetError> set_nonblocking(const Socket& socket, bool nonblocking) {
  if (detail::set_blocking(raw(socket), !nonblocking)) return {};
  return failure(last_os_error());
}

Result<void, NetError> set_nodelay(const Socket& socket) {
  const int one = 1;  // a BOOL on Windows
  if (::setsockopt(raw(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one) == 0)
    return {};
  return failure(last_os_error());
}

namespace {
Result<void, NetError> set_timeout(const Socket& socket, int option, std::uint64_t millis) {
  if (millis == 0) return failure(detail::zero_timeout());
  if (detail::set_timeout_native(raw(socket), option, millis)) return {};
  return failure(last_os_error());
}
}  // namespace

Result<void, NetError> set_receive_timeout(const Socket& socket, std::uint64_t millis) {
  return set_timeout(socket, SO_RCVTIMEO, millis);
}

Result<void, NetError> set_send_timeout(const Socket& socket, std::uint64_t millis) {
  return set_timeout(socket, SO_SNDTIMEO, millis);
}

}  // namespace qm::platform
