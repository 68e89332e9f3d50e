#pragma once
// TCP sockets over BSD sockets / Winsock 2: IPv4 addresses, an owning socket handle, and the
// operations the module needs. Every blocking operation takes a time-out; a time-out of zero is
// refused here, never handed to the operating system (where zero means "wait forever").
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/result.hpp"

namespace qm::platform {

// An IPv4 address, kept as its 32-bit value in host byte order (192.168.1.20 is 0xC0A80114).
struct Ipv4Address {
  std::uint32_t value = 0;

  static constexpr Ipv4Address from_octets(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    return Ipv4Address{(std::uint32_t{a} << 24) | (std::uint32_t{b} << 16) | (std::uint32_t{c} << 8) | d};
  }
  constexpr std::array<std::uint8_t, 4> octets() const {
    return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
  }
  // Dotted-quad text, "192.168.1.20".
  std::string to_string() const;

  constexpr bool is_loopback() const { return (value >> 24) == 127; }
  // 10.0.0.0/8, 172.16.0.0/12 or 192.168.0.0/16.
  constexpr bool is_private() const {
    const auto o = octets();
    return o[0] == 10 || (o[0] == 172 && o[1] >= 16 && o[1] <= 31) || (o[0] == 192 && o[1] == 168);
  }

  friend constexpr bool operator==(Ipv4Address, Ipv4Address) = default;
};

inline constexpr Ipv4Address ipv4_loopback = Ipv4Address::from_octets(127, 0, 0, 1);
inline constexpr Ipv4Address ipv4_any = Ipv4Address{0};

// Strict dotted-quad parsing: exactly four decimal parts of one to three digits, each at most 255,
// no leading zeros (so "010.0.0.1" is refused rather than read as octal or decimal), nothing else
// (no signs, spaces, hex, shortened forms or trailing dot).
std::optional<Ipv4Address> parse_ipv4(std::string_view text);

// An IPv4 address with a port.
struct SocketAddressV4 {
  Ipv4Address address;
  std::uint16_t port = 0;

  // "192.168.1.20:8931".
  std::string to_string() const;
  friend constexpr bool operator==(const SocketAddressV4&, const SocketAddressV4&) = default;
};

// A failed socket operation: the operating system's error code and its text.
struct NetError {
  int code = 0;
  std::string text;

  bool address_in_use() const;
  bool timed_out() const;
};

// The operating system's text for one of its socket error codes.
std::string socket_error_text(int code);

#if defined(_WIN32)
using NativeSocket = std::uintptr_t;  // SOCKET
inline constexpr NativeSocket invalid_native_socket = ~NativeSocket{0};
#else
using NativeSocket = int;
inline constexpr NativeSocket invalid_native_socket = -1;
#endif

// Makes the socket library ready (Winsock start-up, once per process; nothing on POSIX). Every
// function below that creates a socket calls it first. The error when it failed.
Result<void, NetError> ensure_sockets();

// An owned socket, closed when the handle is dropped. Move-only.
class Socket {
 public:
  Socket() = default;
  explicit Socket(NativeSocket native) : native_(native) {}
  ~Socket() { close(); }
  Socket(Socket&& other) noexcept : native_(other.release()) {}
  Socket& operator=(Socket&& other) noexcept {
    if (this != &other) {
      close();
      native_ = other.release();
    }
    return *this;
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  bool valid() const { return native_ != invalid_native_socket; }
  explicit operator bool() const { return valid(); }
  NativeSocket native() const { return native_; }
  // Gives up ownership without closing.
  NativeSocket release() {
    const NativeSocket n = native_;
    native_ = invalid_native_socket;
    return n;
  }
  // Closes the socket now (a no-op when it holds none). Errors of the close are dropped.
  void close() noexcept;

 private:
  NativeSocket native_ = invalid_native_socket;
};

// One TCP connection attempt to `to`, waiting at most `timeout_ns`. The returned socket is in
// blocking mode. On failure (including the time-out) the error.
Result<Socket, NetError> connect_tcp(const SocketAddressV4& to, std::uint64_t timeout_ns);

// A TCP listener bound to `at` (SO_REUSEADDR on POSIX, never SO_REUSEPORT; Windows keeps its
// exclusive default), non-blocking so that `accept_tcp` never blocks past its time limit.
Result<Socket, NetError> listen_tcp(const SocketAddressV4& at);

// The peer of an accepted connection.
struct PeerIp {
  enum class Family : std::uint8_t { ipv4, ipv6, other } family = Family::other;
  std::array<std::uint8_t, 16> bytes{};  // IPv4: the first four bytes
};

struct Accepted {
  enum class Status { accepted, timed_out, failed } status = Status::failed;
  Socket socket;   // accepted: the connection
  PeerIp peer;     // accepted: its address
  NetError error;  // failed: why
};

// Waits at most `timeout_ns` (never 0) for a connection on the listener and accepts it.
Accepted accept_tcp(const Socket& listener, std::uint64_t timeout_ns);

// The socket's local IPv4 address; nullopt when it cannot be read or is not IPv4.
std::optional<SocketAddressV4> local_address(const Socket& socket);

Result<void, NetError> set_nonblocking(const Socket& socket, bool nonblocking);
Result<void, NetError> set_nodelay(const Socket& socket);

// Receive and send time-outs in milliseconds. Zero is refused (an error), never passed on.
Result<void, NetError> set_receive_timeout(const Socket& socket, std::uint64_t millis);
Result<void, NetError> set_send_timeout(const Socket& socket, std::uint64_t millis);

struct IoResult {
  enum class Status {
    ok,           // `bytes` > 0 moved
    closed,       // receive: the peer closed (0 bytes)
    shut_down,    // the connection was already shut down
    interrupted,  // interrupted by a signal
    would_block,  // non-blocking and nothing ready
    timed_out,    // the time-out passed
    failed,       // any other error
  } status = Status::failed;
  std::size_t bytes = 0;
  NetError error;
};

// One receive of at most `length` bytes.
IoResult receive(const Socket& socket, char* buffer, std::size_t length);
// One send of at most `length` bytes (at most 2147483647 per call). Never raises SIGPIPE.
IoResult send(const Socket& socket, const char* data, std::size_t length);
// One send of the parts in order as if they were one buffer, gathered by the system without a
// copy; sends no more than `send` would of one buffer. Never raises SIGPIPE.
IoResult send_parts(const Socket& socket, std::span<const std::string_view> parts);
// Shuts down the sending side; errors are dropped.
void shutdown_send(const Socket& socket);

}  // namespace qm::platform
