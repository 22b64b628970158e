#include "LoopbackServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

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
    ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) return {};
    pending_.append(buffer, static_cast<std::size_t>(n));
  }
}

bool LoopbackConnection::TrySend(const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
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
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[4096];
    ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) return true;
  }
}

LoopbackConnection::~LoopbackConnection() {
  Close();
}

void LoopbackConnection::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

void LoopbackConnection::Reset() {
  linger l{1, 0};
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  close(fd_);
  fd_ = -1;
}

LoopbackServer::LoopbackServer(Script script) : script_(std::move(script)) {
  listenFd_ = socket(AF_INET, SOCK_STREAM, 0);
  if (listenFd_ < 0) throw std::runtime_error("socket");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listenFd_, 16) != 0)
    throw std::runtime_error("bind/listen");
  socklen_t len = sizeof addr;
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { Serve(); });
}

LoopbackServer::~LoopbackServer() {
  stop_ = true;
  thread_.join();
  close(listenFd_);
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
    pollfd p{listenFd_, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    int fd = accept(listenFd_, nullptr, nullptr);
    if (fd < 0) continue;
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
