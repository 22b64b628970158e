#include "LoopbackServer.h"

#include <stdexcept>

#include "Sockets.h"

namespace kestrune::test {

std::string LoopbackConnection::ReadRequest() {
  for (;;) {
    std::size_t end = pending_.find("\r\n\r\n");
    if (end != std::string::npos) {
      std::string request = pending_.substr(0, end + 4);
      pending_.erase(0, end + 4);
      record_(request);
      return request;
    }
    char buffer[4096];
    const long n = ReceiveSome(fd_, buffer, sizeof buffer);
    if (n <= 0) return {};
    pending_.append(buffer, static_cast<std::size_t>(n));
  }
}

bool LoopbackConnection::TrySend(const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const long n = SendSome(fd_, bytes.data() + sent, bytes.size() - sent);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

bool LoopbackConnection::WaitForClientClose(std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    if (!Readable(fd_, static_cast<int>(left.count()))) continue;
    char buffer[4096];
    if (ReceiveSome(fd_, buffer, sizeof buffer) <= 0) return true;
  }
}

LoopbackConnection::~LoopbackConnection() {
  Close();
}

void LoopbackConnection::Close() {
  if (open_) CloseSocket(fd_);
  open_ = false;
}

void LoopbackConnection::Reset() {
  if (!open_) return;
  linger l{};
  l.l_onoff = 1;
  l.l_linger = 0;
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
  CloseSocket(fd_);
  open_ = false;
}

LoopbackServer::LoopbackServer(Script script) : script_(std::move(script)) {
  listenFd_ = ListenOnLoopback(16, port_);
  if (listenFd_ == kNoSocket) throw std::runtime_error("bind/listen");
  thread_ = std::thread([this] { Serve(); });
}

LoopbackServer::~LoopbackServer() {
  stop_ = true;
  thread_.join();
  CloseSocket(listenFd_);
}

std::string LoopbackServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> LoopbackServer::Requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

void LoopbackServer::Serve() {
  while (!stop_) {
    if (!Readable(listenFd_, 20)) continue;
    const SocketHandle fd = accept(listenFd_, nullptr, nullptr);
    if (fd == kNoSocket) continue;
    int index = connections_++;
    LoopbackConnection connection(fd, [this](const std::string& request) {
      std::lock_guard lock(mutex_);
      requests_.push_back(request);
    });
    script_(connection, index);
  }
}

std::string Response(const std::string& statusLine, const std::string& body,
                     const std::string& extraHeaders) {
  return statusLine + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extraHeaders +
         "\r\n" + body;
}

}  // namespace kestrune::test
