#include "platform/socket.hpp"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/clock.hpp"

#include "platform/socket_native.hpp"
#include "platform/time_units.hpp"

namespace qm::platform {

using detail::fill;
using detail::fill_text;
using detail::to_native;

namespace {

bool set_blocking(SOCKET s, bool blocking) {
  u_long mode = blocking ? 0 : 1;
  return ioctlsocket(s, FIONBIO, &mode) == 0;
}

std::once_flag startup_once;
int startup_error = 0;

}  // namespace

bool NetError::address_in_use() const { return code == WSAEADDRINUSE; }
bool NetError::timed_out() const { return code == WSAETIMEDOUT || code == WSAEWOULDBLOCK; }

std::string socket_error_text(int code) {
  // The system's text in UTF-16, converted to UTF-8 (the ANSI code page would not be UTF-8).
  wchar_t buffer[512];
  DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                static_cast<DWORD>(code), MAKELANGID(LANG_ENGLISH, SUBLANG_DEFAULT), buffer,
                                sizeof buffer / sizeof buffer[0], nullptr);
  if (length == 0)
    length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                            static_cast<DWORD>(code), 0, buffer, sizeof buffer / sizeof buffer[0], nullptr);
  while (length > 0 && (buffer[length - 1] == L'\r' || buffer[length - 1] == L'\n' || buffer[length - 1] == L' ' ||
                        buffer[length - 1] == L'.'))
    --length;
  std::string out;
  if (length > 0) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    if (bytes > 0) {
      out.resize(static_cast<std::size_t>(bytes));
      WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(length), out.data(), bytes, nullptr, nullptr);
    }
  }
  if (out.empty()) out = "unknown error";
  out += " (os error ";
  out += std::to_string(code);
  out += ')';
  return out;
}

bool ensure_sockets(NetError* error) {
  // Started once for the life of the process and never cleaned up: the module is pinned and
  // detached threads may still use sockets while the process exits.
  std::call_once(startup_once, [] {
    WSADATA data;
    startup_error = WSAStartup(MAKEWORD(2, 2), &data);
  });
  if (startup_error != 0) {
    fill(error, startup_error);
    return false;
  }
  return true;
}

void Socket::close() noexcept {
  if (native_ != invalid_native_socket) {
    closesocket(static_cast<SOCKET>(native_));
    native_ = invalid_native_socket;
  }
}

namespace {

// A TCP socket that no child process inherits, ready for overlapped use.
Socket new_stream_socket(NetError* error) {
  if (!ensure_sockets(error)) return Socket();
  const SOCKET raw = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (raw == INVALID_SOCKET) {
    fill(error, WSAGetLastError());
    return Socket();
  }
  return Socket(static_cast<NativeSocket>(raw));
}

// A select time limit: the nanoseconds rounded up to whole microseconds.
timeval select_limit(std::uint64_t ns) {
  const std::uint64_t us = (ns + (kNanosPerMicro - 1)) / kNanosPerMicro;
  timeval limit{};
  limit.tv_sec = static_cast<long>(us / kMicrosPerSecond > 0x7fffffffull ? 0x7fffffffull : us / kMicrosPerSecond);
  limit.tv_usec = static_cast<long>(us % kMicrosPerSecond);
  return limit;
}

}  // namespace

Socket connect_tcp(const SocketAddressV4& to, std::uint64_t timeout_ns, NetError* error) {
  if (timeout_ns == 0) {
    fill_text(error, WSAEINVAL, "a time-out of zero is not allowed");
    return Socket();
  }
  Socket socket = new_stream_socket(error);
  if (!socket.valid()) return Socket();
  const SOCKET raw = static_cast<SOCKET>(socket.native());
  if (!set_blocking(raw, false)) {
    fill(error, WSAGetLastError());
    return Socket();
  }
  const sockaddr_in native = to_native(to);
  if (::connect(raw, reinterpret_cast<const sockaddr*>(&native), sizeof native) != 0) {
    const int code = WSAGetLastError();
    if (code != WSAEWOULDBLOCK) {
      fill(error, code);
      return Socket();
    }
    const std::uint64_t deadline = monotonic_ns() + timeout_ns;
    for (;;) {
      const std::uint64_t now = monotonic_ns();
      if (now >= deadline) {
        fill(error, WSAETIMEDOUT);
        return Socket();
      }
      timeval limit = select_limit(deadline - now);
      fd_set writable;
      fd_set failed;
      FD_ZERO(&writable);
      FD_ZERO(&failed);
      FD_SET(raw, &writable);
      FD_SET(raw, &failed);
      const int ready = ::select(0, nullptr, &writable, &failed, &limit);
      if (ready == SOCKET_ERROR) {
        fill(error, WSAGetLastError());
        return Socket();
      }
      if (ready == 0) continue;  // the deadline check above ends the wait
      break;
    }
    int so_error = 0;
    int length = sizeof so_error;
    if (::getsockopt(raw, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so_error), &length) != 0) {
      fill(error, WSAGetLastError());
      return Socket();
    }
    if (so_error != 0) {
      fill(error, so_error);
      return Socket();
    }
  }
  if (!set_blocking(raw, true)) {
    fill(error, WSAGetLastError());
    return Socket();
  }
  return socket;
}


Socket listen_tcp(const SocketAddressV4& at, NetError* error) {
  Socket socket = new_stream_socket(error);
  if (!socket.valid()) return Socket();
  const SOCKET raw = static_cast<SOCKET>(socket.native());
  // No SO_REUSEADDR here: on Windows it would let another program take over the port.
  const sockaddr_in native = to_native(at);
  if (::bind(raw, reinterpret_cast<const sockaddr*>(&native), sizeof native) != 0 || ::listen(raw, 128) != 0 ||
      !set_blocking(raw, false)) {
    fill(error, WSAGetLastError());
    return Socket();
  }
  return socket;
}

Accepted accept_tcp(const Socket& listener, std::uint64_t timeout_ns) {
  Accepted out;
  if (timeout_ns == 0) {
    fill_text(&out.error, WSAEINVAL, "a time-out of zero is not allowed");
    return out;
  }
  const SOCKET raw = static_cast<SOCKET>(listener.native());
  timeval limit = select_limit(timeout_ns);
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(raw, &readable);
  const int ready = ::select(0, &readable, nullptr, nullptr, &limit);
  if (ready == SOCKET_ERROR) {
    fill(&out.error, WSAGetLastError());
    return out;
  }
  if (ready == 0) {
    out.status = Accepted::Status::timed_out;
    return out;
  }
  sockaddr_storage peer{};
  int length = sizeof peer;
  const SOCKET accepted = ::accept(raw, reinterpret_cast<sockaddr*>(&peer), &length);
  if (accepted == INVALID_SOCKET) {
    const int code = WSAGetLastError();
    if (code == WSAEWOULDBLOCK || code == WSAEINTR || code == WSAECONNRESET) {
      out.status = Accepted::Status::timed_out;
    } else {
      fill(&out.error, code);
    }
    return out;
  }
  out.socket = Socket(static_cast<NativeSocket>(accepted));
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
  int length = sizeof local;
  if (::getsockname(static_cast<SOCKET>(socket.native()), reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
      local.ss_family != AF_INET)
    return std::nullopt;
  const auto* v4 = reinterpret_cast<const sockaddr_in*>(&local);
  return SocketAddressV4{Ipv4Address{ntohl(v4->sin_addr.s_addr)}, ntohs(v4->sin_port)};
}

bool set_nonblocking(const Socket& socket, bool nonblocking, NetError* error) {
  if (set_blocking(static_cast<SOCKET>(socket.native()), !nonblocking)) return true;
  fill(error, WSAGetLastError());
  return false;
}

bool set_nodelay(const Socket& socket, NetError* error) {
  const BOOL one = TRUE;
  if (::setsockopt(static_cast<SOCKET>(socket.native()), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
                   sizeof one) == 0)
    return true;
  fill(error, WSAGetLastError());
  return false;
}

namespace {
bool set_timeout(const Socket& socket, int option, std::uint64_t millis, NetError* error) {
  if (millis == 0) {
    fill_text(error, WSAEINVAL, "a time-out of zero is not allowed");
    return false;
  }
  const DWORD limit = millis > 0xfffffffeull ? 0xfffffffeu : static_cast<DWORD>(millis);
  if (::setsockopt(static_cast<SOCKET>(socket.native()), SOL_SOCKET, option, reinterpret_cast<const char*>(&limit),
                   sizeof limit) == 0)
    return true;
  fill(error, WSAGetLastError());
  return false;
}

IoResult io_error(int code) {
  IoResult r;
  switch (code) {
    case WSAEINTR: r.status = IoResult::Status::interrupted; break;
    case WSAEWOULDBLOCK: r.status = IoResult::Status::would_block; break;
    case WSAETIMEDOUT: r.status = IoResult::Status::timed_out; break;
    case WSAESHUTDOWN:
    case WSAENOTCONN: r.status = IoResult::Status::shut_down; break;
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

namespace {
// Waits until the socket can be read (or written) for at most its own time-out, as set by
// set_receive_timeout / set_send_timeout. Some Winsock implementations do not apply those options to
// a call that blocks, so the wait is made here, in select(); the option still bounds the call itself.
// Returns false when the time-out passed first.
bool wait_ready(SOCKET raw, int option, bool for_writing) {
  DWORD millis = 0;
  int length = sizeof millis;
  if (::getsockopt(raw, SOL_SOCKET, option, reinterpret_cast<char*>(&millis), &length) != 0 || millis == 0)
    return true;  // no time-out: block in the call itself
  fd_set set;
  FD_ZERO(&set);
  FD_SET(raw, &set);
  timeval limit = select_limit(std::uint64_t{millis} * kNanosPerMilli);
  const int ready = ::select(0, for_writing ? nullptr : &set, for_writing ? &set : nullptr, nullptr, &limit);
  return ready != 0;  // an error is left for the call to report
}

// A blocking send of a large buffer can wait for the whole of it; one call sends at most this much,
// so that a peer that stops reading holds the sender no longer than its time-out.
constexpr std::size_t max_send_chunk = 64 * 1024;
}  // namespace

IoResult receive(const Socket& socket, char* buffer, std::size_t length) {
  if (!wait_ready(static_cast<SOCKET>(socket.native()), SO_RCVTIMEO, false)) return io_error(WSAETIMEDOUT);
  const int n = ::recv(static_cast<SOCKET>(socket.native()), buffer,
                       static_cast<int>(length > 0x7fffffffu ? 0x7fffffffu : length), 0);
  if (n == SOCKET_ERROR) return io_error(WSAGetLastError());
  IoResult r;
  r.status = n == 0 ? IoResult::Status::closed : IoResult::Status::ok;
  r.bytes = static_cast<std::size_t>(n);
  return r;
}

IoResult send(const Socket& socket, const char* data, std::size_t length) {
  if (!wait_ready(static_cast<SOCKET>(socket.native()), SO_SNDTIMEO, true)) return io_error(WSAETIMEDOUT);
  const int n = ::send(static_cast<SOCKET>(socket.native()), data,
                       static_cast<int>(length > max_send_chunk ? max_send_chunk : length), 0);
  if (n == SOCKET_ERROR) return io_error(WSAGetLastError());
  IoResult r;
  r.status = n == 0 ? IoResult::Status::closed : IoResult::Status::ok;
  r.bytes = static_cast<std::size_t>(n);
  return r;
}

IoResult send_parts(const Socket& socket, std::span<const std::string_view> parts) {
  constexpr std::size_t most_parts = 16;
  if (!wait_ready(static_cast<SOCKET>(socket.native()), SO_SNDTIMEO, true)) return io_error(WSAETIMEDOUT);
  WSABUF buffers[most_parts];
  DWORD count = 0;
  std::size_t total = 0;
  for (const std::string_view part : parts) {
    if (count == most_parts || total == max_send_chunk) break;
    if (part.empty()) continue;
    const std::size_t length = std::min(part.size(), max_send_chunk - total);
    buffers[count].buf = const_cast<char*>(part.data());  // only read
    buffers[count].len = static_cast<ULONG>(length);
    total += length;
    count += 1;
  }
  DWORD sent = 0;
  if (::WSASend(static_cast<SOCKET>(socket.native()), buffers, count, &sent, 0, nullptr, nullptr) == SOCKET_ERROR)
    return io_error(WSAGetLastError());
  IoResult r;
  r.status = sent == 0 ? IoResult::Status::closed : IoResult::Status::ok;
  r.bytes = static_cast<std::size_t>(sent);
  return r;
}

void shutdown_send(const Socket& socket) { (void)::shutdown(static_cast<SOCKET>(socket.native()), SD_SEND); }

}  // namespace qm::platform
