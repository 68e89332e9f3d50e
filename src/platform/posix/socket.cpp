#include "platform/socket.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/clock.hpp"

#include "platform/socket_native.hpp"
#include "platform/time_units.hpp"

namespace qm::platform {

using detail::fill;
using detail::fill_text;
using detail::to_native;

namespace {

bool set_blocking(int fd, bool blocking) {
  const int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0) return false;
  const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  return wanted == flags || fcntl(fd, F_SETFL, wanted) == 0;
}

// Milliseconds for poll: rounded up, so a short positive time-out never becomes 0 (no wait).
int poll_millis(std::uint64_t ns) {
  const std::uint64_t ms = millis_rounded_up(ns);
  return ms > 0x7fffffffull ? 0x7fffffff : static_cast<int>(ms);
}

}  // namespace

bool NetError::address_in_use() const { return code == EADDRINUSE; }
bool NetError::timed_out() const { return code == ETIMEDOUT || code == EAGAIN || code == EWOULDBLOCK; }

std::string socket_error_text(int code) {
  char buffer[256];
  // The GNU strerror_r returns the text (maybe not in the buffer); the XSI one fills the buffer.
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
  const char* text = strerror_r(code, buffer, sizeof buffer);
  std::string out = text ? text : "unknown error";
#else
  std::string out = strerror_r(code, buffer, sizeof buffer) == 0 ? buffer : "unknown error";
#endif
  out += " (os error ";
  out += std::to_string(code);
  out += ')';
  return out;
}

bool ensure_sockets(NetError*) { return true; }

void Socket::close() noexcept {
  if (native_ != invalid_native_socket) {
    ::close(native_);  // not retried on EINTR: the descriptor is released either way on Linux
    native_ = invalid_native_socket;
  }
}

Socket connect_tcp(const SocketAddressV4& to, std::uint64_t timeout_ns, NetError* error) {
  if (timeout_ns == 0) {
    fill_text(error, EINVAL, "a time-out of zero is not allowed");
    return Socket();
  }
  Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket) {
    fill(error, errno);
    return Socket();
  }
  if (!set_blocking(socket.native(), false)) {
    fill(error, errno);
    return Socket();
  }
  const sockaddr_in native = to_native(to);
  if (::connect(socket.native(), reinterpret_cast<const sockaddr*>(&native), sizeof native) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) {
      fill(error, errno);
      return Socket();
    }
    const std::uint64_t deadline = monotonic_ns() + timeout_ns;
    for (;;) {
      const std::uint64_t now = monotonic_ns();
      if (now >= deadline) {
        fill(error, ETIMEDOUT);
        return Socket();
      }
      pollfd pfd{socket.native(), POLLOUT, 0};
      const int ready = ::poll(&pfd, 1, poll_millis(deadline - now));
      if (ready < 0) {
        if (errno == EINTR) continue;
        fill(error, errno);
        return Socket();
      }
      if (ready == 0) continue;  // the deadline check above ends the wait
      break;
    }
    int so_error = 0;
    socklen_t length = sizeof so_error;
    if (::getsockopt(socket.native(), SOL_SOCKET, SO_ERROR, &so_error, &length) != 0) {
      fill(error, errno);
      return Socket();
    }
    if (so_error != 0) {
      fill(error, so_error);
      return Socket();
    }
  }
  if (!set_blocking(socket.native(), true)) {
    fill(error, errno);
    return Socket();
  }
  return socket;
}


Socket listen_tcp(const SocketAddressV4& at, NetError* error) {
  Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket) {
    fill(error, errno);
    return Socket();
  }
  // A restart on the same port must not wait for connections of the old listener in TIME_WAIT.
  const int one = 1;
  if (::setsockopt(socket.native(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
    fill(error, errno);
    return Socket();
  }
  const sockaddr_in native = to_native(at);
  if (::bind(socket.native(), reinterpret_cast<const sockaddr*>(&native), sizeof native) != 0 ||
      ::listen(socket.native(), 128) != 0 || !set_blocking(socket.native(), false)) {
    fill(error, errno);
    return Socket();
  }
  return socket;
}

Accepted accept_tcp(const Socket& listener, std::uint64_t timeout_ns) {
  Accepted out;
  if (timeout_ns == 0) {
    fill_text(&out.error, EINVAL, "a time-out of zero is not allowed");
    return out;
  }
  pollfd pfd{listener.native(), POLLIN, 0};
  const int ready = ::poll(&pfd, 1, poll_millis(timeout_ns));
  if (ready < 0) {
    if (errno == EINTR) {
      out.status = Accepted::Status::timed_out;
    } else {
      fill(&out.error, errno);
    }
    return out;
  }
  if (ready == 0) {
    out.status = Accepted::Status::timed_out;
    return out;
  }
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  const int fd = ::accept4(listener.native(), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
  if (fd < 0) {
    // Gone again between the wake-up and the accept: nothing to count.
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED) {
      out.status = Accepted::Status::timed_out;
    } else {
      fill(&out.error, errno);
    }
    return out;
  }
  out.socket = Socket(fd);
  out.status = Accepted::Status::accepted;
  if (peer.ss_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&peer);
    out.peer.family = PeerIp::Family::ipv4;
    std::memcpy(out.peer.bytes.data(), &v4->sin_addr.s_addr, 4);
  } else if (peer.ss_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&peer);
    out.peer.family = PeerIp::Family::ipv6;
    std::memcpy(out.peer.bytes.data(), &v6->sin6_addr, 16);
  }
  return out;
}

std::optional<SocketAddressV4> local_address(const Socket& socket) {
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  if (::getsockname(socket.native(), reinterpret_cast<sockaddr*>(&local), &length) != 0 || local.ss_family != AF_INET)
    return std::nullopt;
  const auto* v4 = reinterpret_cast<const sockaddr_in*>(&local);
  return SocketAddressV4{Ipv4Address{ntohl(v4->sin_addr.s_addr)}, ntohs(v4->sin_port)};
}

bool set_nonblocking(const Socket& socket, bool nonblocking, NetError* error) {
  if (set_blocking(socket.native(), !nonblocking)) return true;
  fill(error, errno);
  return false;
}

bool set_nodelay(const Socket& socket, NetError* error) {
  const int one = 1;
  if (::setsockopt(socket.native(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0) return true;
  fill(error, errno);
  return false;
}

namespace {
bool set_timeout(const Socket& socket, int option, std::uint64_t millis, NetError* error) {
  if (millis == 0) {
    fill_text(error, EINVAL, "a time-out of zero is not allowed");
    return false;
  }
  timeval limit{};
  limit.tv_sec = static_cast<time_t>(millis / kMillisPerSecond);
  limit.tv_usec = static_cast<suseconds_t>((millis % kMillisPerSecond) * kMicrosPerMilli);
  if (::setsockopt(socket.native(), SOL_SOCKET, option, &limit, sizeof limit) == 0) return true;
  fill(error, errno);
  return false;
}

IoResult io_error(int code) {
  IoResult r;
  switch (code) {
    case EINTR: r.status = IoResult::Status::interrupted; break;
    case EAGAIN:
#if EAGAIN != EWOULDBLOCK
    case EWOULDBLOCK:
#endif
      // A blocking socket reports its time-out as EAGAIN too; the caller knows which mode it set.
      r.status = IoResult::Status::would_block;
      break;
    case ETIMEDOUT: r.status = IoResult::Status::timed_out; break;
    case ESHUTDOWN:
    case ENOTCONN: r.status = IoResult::Status::shut_down; break;
    default: r.status = IoResult::Status::failed; break;
  }
  fill(&r.error, code);
  return r;
}
}  // namespace

bool set_receive_timeout(const Socket& socket, std::uint64_t millis, NetError* error) {
  return set_timeout(socket, SO_RCVTIMEO, millis, error);
}

bool set_send_timeout(const Socket& socket, std::uint64_t millis, NetError* error) {
  return set_timeout(socket, SO_SNDTIMEO, millis, error);
}

IoResult receive(const Socket& socket, char* buffer, std::size_t length) {
  const ssize_t n = ::recv(socket.native(), buffer, length, 0);
  if (n < 0) return io_error(errno);
  IoResult r;
  r.status = n == 0 ? IoResult::Status::closed : IoResult::Status::ok;
  r.bytes = static_cast<std::size_t>(n);
  return r;
}

IoResult send(const Socket& socket, const char* data, std::size_t length) {
  if (length > 0x7fffffffu) length = 0x7fffffffu;
  const ssize_t n = ::send(socket.native(), data, length, MSG_NOSIGNAL);
  if (n < 0) return io_error(errno);
  IoResult r;
  r.status = n == 0 ? IoResult::Status::closed : IoResult::Status::ok;
  r.bytes = static_cast<std::size_t>(n);
  return r;
}

IoResult send_parts(const Socket& socket, std::span<const std::string_view> parts) {
  constexpr std::size_t most_parts = 16;
  constexpr std::size_t most_bytes = 0x7fffffffu;
  iovec vectors[most_parts];
  std::size_t count = 0;
  std::size_t total = 0;
  for (const std::string_view part : parts) {
    if (count == most_parts || total == most_bytes) break;
    if (part.empty()) continue;
    const std::size_t length = std::min(part.size(), most_bytes - total);
    vectors[count].iov_base = const_cast<char*>(part.data());  // only read
    vectors[count].iov_len = length;
    total += length;
    count += 1;
  }
  msghdr message{};
  message.msg_iov = vectors;
  message.msg_iovlen = static_cast<decltype(message.msg_iovlen)>(count);
  const ssize_t n = ::sendmsg(socket.native(), &message, MSG_NOSIGNAL);
  if (n < 0) return io_error(errno);
  IoResult r;
  r.status = n == 0 ? IoResult::Status::closed : IoResult::Status::ok;
  r.bytes = static_cast<std::size_t>(n);
  return r;
}

void shutdown_send(const Socket& socket) { (void)::shutdown(socket.native(), SHUT_WR); }

}  // namespace qm::platform
