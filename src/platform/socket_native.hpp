#pragma once
// What the POSIX and Win32 socket code share: the native handle and address types, the system's
// error codes under one name, and the small steps of each operation that do not depend on the
// system. Each side defines the few calls declared at the end. Included only by the platform's own
// .cpp files.
#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#endif

#include <algorithm>
#include <cstring>
#include <span>
#include <string_view>

#include "platform/socket.hpp"

namespace qm::platform::detail {

#if defined(_WIN32)
using RawSocket = SOCKET;
using AddressLength = int;
inline int last_error() { return WSAGetLastError(); }
inline constexpr int kInvalidArgument = WSAEINVAL;
inline constexpr int kTimedOut = WSAETIMEDOUT;
inline constexpr int kInterrupted = WSAEINTR;
inline constexpr int kAddressInUse = WSAEADDRINUSE;
inline bool would_block(int code) { return code == WSAEWOULDBLOCK; }
inline bool shut_down(int code) { return code == WSAESHUTDOWN || code == WSAENOTCONN; }
#else
using RawSocket = int;
using AddressLength = socklen_t;
inline int last_error() { return errno; }
inline constexpr int kInvalidArgument = EINVAL;
inline constexpr int kTimedOut = ETIMEDOUT;
inline constexpr int kInterrupted = EINTR;
inline constexpr int kAddressInUse = EADDRINUSE;
// A blocking socket reports its time-out as EAGAIN too; the caller knows which mode it set.
inline bool would_block(int code) { return code == EAGAIN || code == EWOULDBLOCK; }
inline bool shut_down(int code) { return code == ESHUTDOWN || code == ENOTCONN; }
#endif

inline RawSocket raw(const Socket& socket) { return static_cast<RawSocket>(socket.native()); }

inline sockaddr_in to_native(const SocketAddressV4& address) {
  sockaddr_in native{};
  native.sin_family = AF_INET;
  native.sin_port = htons(address.port);
  native.sin_addr.s_addr = htonl(address.address.value);
  return native;
}

inline SocketAddressV4 from_native(const sockaddr_storage& storage) {
  const auto* v4 = reinterpret_cast<const sockaddr_in*>(&storage);
  return SocketAddressV4{Ipv4Address{ntohl(v4->sin_addr.s_addr)}, ntohs(v4->sin_port)};
}

// The socket's local address as the system reports it; false when the call failed.
inline bool local_native(RawSocket socket, sockaddr_storage& local, AddressLength& length) {
  length = sizeof local;
  return ::getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length) == 0;
}

inline PeerIp peer_of(const sockaddr_storage& peer) {
  PeerIp out;
  if (peer.ss_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&peer);
    out.family = PeerIp::Family::ipv4;
    std::memcpy(out.bytes.data(), &v4->sin_addr.s_addr, 4);
  } else if (peer.ss_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&peer);
    out.family = PeerIp::Family::ipv6;
    std::memcpy(out.bytes.data(), &v6->sin6_addr, 16);
  }
  return out;
}

// The error for one of the system's codes, with the system's text.
inline NetError os_error(int code) { return NetError{code, socket_error_text(code)}; }
inline NetError last_os_error() { return os_error(last_error()); }

// A time-out of zero, refused before the system sees it.
inline NetError zero_timeout() { return NetError{kInvalidArgument, "a time-out of zero is not allowed"}; }

// The system's text for a code with the code after it: "<text> (os error <code>)".
inline std::string with_os_code(std::string text, int code) {
  text += " (os error ";
  text += std::to_string(code);
  text += ')';
  return text;
}

// A receive or send that moved `bytes` (none: the peer closed).
inline IoResult moved(std::size_t bytes) {
  IoResult r;
  r.status = bytes == 0 ? IoResult::Status::closed : IoResult::Status::ok;
  r.bytes = bytes;
  return r;
}

inline IoResult io_error(int code) {
  IoResult r;
  if (code == kInterrupted) {
    r.status = IoResult::Status::interrupted;
  } else if (would_block(code)) {
    r.status = IoResult::Status::would_block;
  } else if (code == kTimedOut) {
    r.status = IoResult::Status::timed_out;
  } else if (shut_down(code)) {
    r.status = IoResult::Status::shut_down;
  } else {
    r.status = IoResult::Status::failed;
  }
  r.error = os_error(code);
  return r;
}

// Fills at most `buffers.size()` system buffers with the non-empty parts in order, at most
// `most_bytes` in all, through `set(buffer, data, length)`; the number of buffers filled.
template <class Buffer, class Set>
std::size_t gather(std::span<const std::string_view> parts, std::span<Buffer> buffers, std::size_t most_bytes,
                   Set set) {
  std::size_t count = 0;
  std::size_t total = 0;
  for (const std::string_view part : parts) {
    if (count == buffers.size() || total == most_bytes) break;
    if (part.empty()) continue;
    const std::size_t length = std::min(part.size(), most_bytes - total);
    set(buffers[count], const_cast<char*>(part.data()), length);  // only read
    total += length;
    count += 1;
  }
  return count;
}

// Each side's own calls. Those that return a bool leave the system's error for `last_error`.

// A socket of `type` (SOCK_STREAM or SOCK_DGRAM) that no child process inherits.
Result<Socket, NetError> open_socket(int type);
bool set_blocking(RawSocket socket, bool blocking);
// What a listener needs before its bind.
bool prepare_listener(RawSocket socket);
// True when a non-blocking connect that failed with `code` goes on in the background.
bool connect_pending(int code);
// Waits at most `ns` (rounded up, never to 0) for the socket to be writable (a connect finished)
// or readable (a connection to accept): 1 ready, 0 not yet (or interrupted), -1 an error.
int wait_writable(RawSocket socket, std::uint64_t ns);
int wait_readable(RawSocket socket, std::uint64_t ns);
// Accepts one connection, not inherited by child processes; invalid_native_socket on failure.
NativeSocket accept_native(RawSocket listener, sockaddr_storage& peer);
// True when an accept that failed with `code` lost a connection that was gone again.
bool accept_gone(int code);
// Sets a receive or send time-out of `millis` (not zero).
bool set_timeout_native(RawSocket socket, int option, std::uint64_t millis);

}  // namespace qm::platform::detail
