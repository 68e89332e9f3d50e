#include "platform/socket.hpp"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstring>
#include <mutex>

#include "platform/socket_native.hpp"
#include "platform/time_units.hpp"

namespace qm::platform {

using detail::io_error;
using detail::moved;

namespace {

std::once_flag startup_once;
int startup_error = 0;

// A select time limit: the nanoseconds rounded up to whole microseconds.
timeval select_limit(std::uint64_t ns) {
  const std::uint64_t us = (ns + (kNanosPerMicro - 1)) / kNanosPerMicro;
  timeval limit{};
  limit.tv_sec = static_cast<long>(us / kMicrosPerSecond > 0x7fffffffull ? 0x7fffffffull : us / kMicrosPerSecond);
  limit.tv_usec = static_cast<long>(us % kMicrosPerSecond);
  return limit;
}

}  // namespace

namespace detail {

Result<Socket, NetError> open_socket(int type) {
  if (auto ready = ensure_sockets(); !ready) return failure(ready.error());
  // A stream socket is made ready for overlapped use.
  const bool stream = type == SOCK_STREAM;
  const SOCKET s = WSASocketW(AF_INET, type, stream ? IPPROTO_TCP : IPPROTO_UDP, nullptr, 0,
                              (stream ? WSA_FLAG_OVERLAPPED : 0) | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return failure(last_os_error());
  return Socket(static_cast<NativeSocket>(s));
}

bool set_blocking(SOCKET s, bool blocking) {
  u_long mode = blocking ? 0 : 1;
  return ioctlsocket(s, FIONBIO, &mode) == 0;
}

// No SO_REUSEADDR here: on Windows it would let another program take over the port.
bool prepare_listener(SOCKET) { return true; }

bool connect_pending(int code) { return code == WSAEWOULDBLOCK; }

int wait_writable(SOCKET s, std::uint64_t ns) {
  timeval limit = select_limit(ns);
  fd_set writable;
  fd_set failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(s, &writable);
  FD_SET(s, &failed);
  const int ready = ::select(0, nullptr, &writable, &failed, &limit);
  return ready == SOCKET_ERROR ? -1 : ready;
}

int wait_readable(SOCKET s, std::uint64_t ns) {
  timeval limit = select_limit(ns);
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
  const int ready = ::select(0, &readable, nullptr, nullptr, &limit);
  return ready == SOCKET_ERROR ? -1 : ready;
}

NativeSocket accept_native(SOCKET listener, sockaddr_storage& peer) {
  int length = sizeof peer;
  const SOCKET accepted = ::accept(listener, reinterpret_cast<sockaddr*>(&peer), &length);
  return accepted == INVALID_SOCKET ? invalid_native_socket : static_cast<NativeSocket>(accepted);
}

bool accept_gone(int code) { return code == WSAEWOULDBLOCK || code == WSAEINTR || code == WSAECONNRESET; }

bool set_timeout_native(SOCKET s, int option, std::uint64_t millis) {
  const DWORD limit = millis > 0xfffffffeull ? 0xfffffffeu : static_cast<DWORD>(millis);
  return ::setsockopt(s, SOL_SOCKET, option, reinterpret_cast<const char*>(&limit), sizeof limit) == 0;
}

}  // namespace detail

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
  return detail::with_os_code(std::move(out), code);
}

Result<void, NetError> ensure_sockets() {
  // Started once for the life of the process and never cleaned up: the module is pinned and
  // detached threads may still use sockets while the process exits.
  std::call_once(startup_once, [] {
    WSADATA data;
    startup_error = WSAStartup(MAKEWORD(2, 2), &data);
  });
  if (startup_error != 0) return failure(detail::os_error(startup_error));
  return {};
}

void Socket::close() noexcept {
  if (native_ != invalid_native_socket) {
    closesocket(static_cast<SOCKET>(native_));
    native_ = invalid_native_socket;
  }
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
  return moved(static_cast<std::size_t>(n));
}

IoResult send(const Socket& socket, const char* data, std::size_t length) {
  if (!wait_ready(static_cast<SOCKET>(socket.native()), SO_SNDTIMEO, true)) return io_error(WSAETIMEDOUT);
  const int n = ::send(static_cast<SOCKET>(socket.native()), data,
                       static_cast<int>(length > max_send_chunk ? max_send_chunk : length), 0);
  if (n == SOCKET_ERROR) return io_error(WSAGetLastError());
  return moved(static_cast<std::size_t>(n));
}

IoResult send_parts(const Socket& socket, std::span<const std::string_view> parts) {
  if (!wait_ready(static_cast<SOCKET>(socket.native()), SO_SNDTIMEO, true)) return io_error(WSAETIMEDOUT);
  WSABUF buffers[16];
  const std::size_t count = detail::gather(parts, std::span<WSABUF>(buffers), max_send_chunk,
                                           [](WSABUF& b, char* data, std::size_t length) {
                                             b.buf = data;
                                             b.len = static_cast<ULONG>(length);
                                           });
  DWORD sent = 0;
  if (::WSASend(static_cast<SOCKET>(socket.native()), buffers, static_cast<DWORD>(count), &sent, 0, nullptr,
                nullptr) == SOCKET_ERROR)
    return io_error(WSAGetLastError());
  return moved(static_cast<std::size_t>(sent));
}

void shutdown_send(const Socket& socket) { (void)::shutdown(static_cast<SOCKET>(socket.native()), SD_SEND); }

}  // namespace qm::platform
