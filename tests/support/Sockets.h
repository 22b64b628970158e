#pragma once
// The few socket calls the scripted servers and the readiness probes use, over BSD sockets or
// Winsock: the test programs run on both.

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cstddef>
#include <cstdint>

#include "LoopbackServer.h"

namespace kestrune::test {

#ifdef _WIN32
inline const SocketHandle kNoSocket = INVALID_SOCKET;
// A peer that has gone raises no signal on Windows.
inline constexpr int kSendFlags = 0;
#else
inline constexpr SocketHandle kNoSocket = -1;
inline constexpr int kSendFlags = MSG_NOSIGNAL;
#endif

// Winsock wants one WSAStartup per process before any socket call; nothing to do on POSIX.
inline void StartSockets() {
#ifdef _WIN32
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)started;
#endif
}

inline SocketHandle OpenTcpSocket() {
  StartSockets();
  return socket(AF_INET, SOCK_STREAM, 0);
}

inline void CloseSocket(SocketHandle s) {
#ifdef _WIN32
  closesocket(s);
#else
  close(s);
#endif
}

inline sockaddr_in LoopbackAddress(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  return addr;
}

// Whether `s` has something to read (or has been closed) within `milliseconds`.
inline bool Readable(SocketHandle s, int milliseconds) {
  pollfd p{};
  p.fd = s;
  p.events = POLLIN;
#ifdef _WIN32
  return WSAPoll(&p, 1, milliseconds) > 0;
#else
  return poll(&p, 1, milliseconds) > 0;
#endif
}

inline long SendSome(SocketHandle s, const char* bytes, std::size_t count) {
  return send(s, bytes, static_cast<int>(count), kSendFlags);
}

inline long ReceiveSome(SocketHandle s, char* buffer, std::size_t count) {
  return recv(s, buffer, static_cast<int>(count), 0);
}

// A receive that gives up after `seconds`, so that a client that never closes cannot hold a
// test up for long.
inline void SetReceiveTimeout(SocketHandle s, int seconds) {
#ifdef _WIN32
  const DWORD limit = static_cast<DWORD>(seconds) * 1000;
#else
  const timeval limit{seconds, 0};
#endif
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit), sizeof limit);
}

// Listens on an ephemeral port of 127.0.0.1; returns the socket and sets `port`, or kNoSocket.
inline SocketHandle ListenOnLoopback(int backlog, int& port) {
  const SocketHandle s = OpenTcpSocket();
  if (s == kNoSocket) return s;
  sockaddr_in addr = LoopbackAddress(0);
  socklen_t len = sizeof addr;
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(s, backlog) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    CloseSocket(s);
    return kNoSocket;
  }
  port = ntohs(addr.sin_port);
  return s;
}

}  // namespace kestrune::test
