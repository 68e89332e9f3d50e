#include "platform/socket.hpp"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <mutex>

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
  char buffer[512];
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                static_cast<DWORD>(code), MAKELANGID(LANG_ENGLISH, SUBLANG_DEFAULT), buffer,
                                sizeof buffer, nullptr);
  if (length == 0)
    length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                            static_cast<DWORD>(code), 0, buffer, sizeof buffer, nullptr);
  while (length > 0 && (buffer[length - 1] == '\r' || buffer[length - 1] == '\n' || buffer[length - 1] == ' ' ||
                        buffer[length - 1] == '.'))
    --length;
  std::string out = length > 0 ? std::string(buffer, length) : std::string("unknown error");
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

Socket connect_tcp(const SocketAddressV4& to, std::uint64_t timeout_ns, NetError* error) {
  if (timeout_ns == 0) {
    fill_text(error, WSAEINVAL, "a time-out of zero is not allowed");
    return Socket();
  }
  if (!ensure_sockets(error)) return Socket();
  const SOCKET raw = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (raw == INVALID_SOCKET) {
    fill(error, WSAGetLastError());
    return Socket();
  }
  Socket socket(static_cast<NativeSocket>(raw));
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
      const std::uint64_t left_us = (deadline - now + 999ull) / 1000ull;
      timeval limit{};
      limit.tv_sec = static_cast<long>(left_us / 1000000ull > 0x7fffffffull ? 0x7fffffffull : left_us / 1000000ull);
      limit.tv_usec = static_cast<long>(left_us % 1000000ull);
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

}  // namespace qm::platform
