#pragma once
// A scripted HTTP peer on 127.0.0.1 for wire-level tests: it accepts connections one after
// the other on an ephemeral port, records the raw request bytes and runs a per-connection
// script that sends bytes, waits, closes or resets.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrune::test {

#ifdef _WIN32
using SocketHandle = std::uintptr_t;  // SOCKET, without pulling in winsock2.h here
#else
using SocketHandle = int;
#endif

class LoopbackConnection {
 public:
  explicit LoopbackConnection(SocketHandle fd, std::function<void(const std::string&)> record)
      : fd_(fd), record_(std::move(record)) {}
  ~LoopbackConnection();
  LoopbackConnection(const LoopbackConnection&) = delete;
  LoopbackConnection& operator=(const LoopbackConnection&) = delete;

  // Reads one request head (up to the empty line) and records it; "" when the peer closed.
  std::string ReadRequest();
  void Send(const std::string& bytes) { TrySend(bytes); }
  // Send that tells: false when the peer no longer takes bytes (closed or reset).
  bool TrySend(const std::string& bytes);
  void Sleep(std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); }
  // Waits until the client closes the connection or `limit` passes; returns true on close.
  bool WaitForClientClose(std::chrono::milliseconds limit);
  // Ends the connection with a FIN.
  void Close();
  // Ends the connection with an RST instead of a FIN.
  void Reset();

 private:
  SocketHandle fd_;
  bool open_ = true;
  std::function<void(const std::string&)> record_;
  std::string pending_;
};

class LoopbackServer {
 public:
  // `script` runs once per accepted connection with its 0-based index; the connection is
  // closed normally when the script returns (unless it reset it).
  using Script = std::function<void(LoopbackConnection&, int index)>;

  explicit LoopbackServer(Script script);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  int port() const { return port_; }
  std::string Url(const std::string& path) const;
  std::vector<std::string> Requests() const;
  int Connections() const { return connections_; }

 private:
  void Serve();

  Script script_;
  SocketHandle listenFd_;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

// A complete response with Content-Length; `extraHeaders` lines end in "\r\n".
std::string Response(const std::string& statusLine, const std::string& body,
                     const std::string& extraHeaders = "");

}  // namespace kestrune::test
