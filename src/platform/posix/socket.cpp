#include "platform/socket.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/clock.hpp"

namespace qm::platform {

namespace {

void fill(NetError* error, int code) {
  if (error) {
    error->code = code;
    error->text = socket_error_text(code);
  }
}

void fill_text(NetError* error, int code, const char* text) {
  if (error) {
    error->code = code;
    error->text = text;
  }
}

sockaddr_in to_native(const SocketAddressV4& address) {
  sockaddr_in native{};
  native.sin_family = AF_INET;
  native.sin_port = htons(address.port);
  native.sin_addr.s_addr = htonl(address.address.value);
  return native;
}

bool set_blocking(int fd, bool blocking) {
  const int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0) return false;
  const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  return wanted == flags || fcntl(fd, F_SETFL, wanted) == 0;
}

// Milliseconds for poll: rounded up, so a short positive time-out never becomes 0 (no wait).
int poll_millis(std::uint64_t ns) {
  const std::uint64_t ms = (ns + 999999ull) / 1000000ull;
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

}  // namespace qm::platform
