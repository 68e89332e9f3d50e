#include "platform/socket.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/socket_native.hpp"
#include "platform/time_units.hpp"

namespace qm::platform {

using detail::io_error;
using detail::moved;

namespace {

// Milliseconds for poll: rounded up, so a short positive time-out never becomes 0 (no wait).
int poll_millis(std::uint64_t ns) {
  const std::uint64_t ms = millis_rounded_up(ns);
  return ms > 0x7fffffffull ? 0x7fffffff : static_cast<int>(ms);
}

int wait_for(int fd, short events, std::uint64_t ns) {
  pollfd pfd{fd, events, 0};
  const int ready = ::poll(&pfd, 1, poll_millis(ns));
  if (ready < 0 && errno == EINTR) return 0;
  return ready < 0 ? -1 : ready;
}

}  // namespace

namespace detail {

Result<Socket, NetError> open_socket(int type) {
  Socket socket(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
  if (!socket) return failure(last_os_error());
  return socket;
}

bool set_blocking(int fd, bool blocking) {
  const int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0) return false;
  const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  return wanted == flags || fcntl(fd, F_SETFL, wanted) == 0;
}

bool prepare_listener(int fd) {
  // A restart on the same port must not wait for connections of the old listener in TIME_WAIT.
  const int one = 1;
  return ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0;
}

bool connect_pending(int code) { return code == EINPROGRESS || code == EINTR; }

int wait_writable(int fd, std::uint64_t ns) { return wait_for(fd, POLLOUT, ns); }
int wait_readable(int fd, std::uint64_t ns) { return wait_for(fd, POLLIN, ns); }

NativeSocket accept_native(int listener, sockaddr_storage& peer) {
  socklen_t length = sizeof peer;
  return ::accept4(listener, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
}

bool accept_gone(int code) { return would_block(code) || code == EINTR || code == ECONNABORTED; }

bool set_timeout_native(int fd, int option, std::uint64_t millis) {
  timeval limit{};
  limit.tv_sec = static_cast<time_t>(millis / kMillisPerSecond);
  limit.tv_usec = static_cast<suseconds_t>((millis % kMillisPerSecond) * kMicrosPerMilli);
  return ::setsockopt(fd, SOL_SOCKET, option, &limit, sizeof limit) == 0;
}

}  // namespace detail

std::string socket_error_text(int code) {
  char buffer[256];
  // The GNU strerror_r returns the text (maybe not in the buffer); the XSI one fills the buffer.
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
  const char* text = strerror_r(code, buffer, sizeof buffer);
  std::string out = text ? text : "unknown error";
#else
  std::string out = strerror_r(code, buffer, sizeof buffer) == 0 ? buffer : "unknown error";
#endif
  return detail::with_os_code(std::move(out), code);
}

Result<void, NetError> ensure_sockets() { return {}; }

void Socket::close() noexcept {
  if (native_ != invalid_native_socket) {
    ::close(native_);  // not retried on EINTR: the descriptor is released either way on Linux
    native_ = invalid_native_socket;
  }
}

IoResult receive(const Socket& socket, char* buffer, std::size_t length) {
  const ssize_t n = ::recv(socket.native(), buffer, length, 0);
  if (n < 0) return io_error(errno);
  return moved(static_cast<std::size_t>(n));
}

IoResult send(const Socket& socket, const char* data, std::size_t length) {
  if (length > 0x7fffffffu) length = 0x7fffffffu;
  const ssize_t n = ::send(socket.native(), data, length, MSG_NOSIGNAL);
  if (n < 0) return io_error(errno);
  return moved(static_cast<std::size_t>(n));
}

IoResult send_parts(const Socket& socket, std::span<const std::string_view> parts) {
  iovec vectors[16];
  const std::size_t count = detail::gather(parts, std::span<iovec>(vectors), 0x7fffffffu,
                                           [](iovec& v, char* data, std::size_t length) {
                                             v.iov_base = data;
                                             v.iov_len = length;
                                           });
  msghdr message{};
  message.msg_iov = vectors;
  message.msg_iovlen = static_cast<decltype(message.msg_iovlen)>(count);
  const ssize_t n = ::sendmsg(socket.native(), &message, MSG_NOSIGNAL);
  if (n < 0) return io_error(errno);
  return moved(static_cast<std::size_t>(n));
}

void shutdown_send(const Socket& socket) { (void)::shutdown(socket.native(), SHUT_WR); }

}  // namespace qm::platform
