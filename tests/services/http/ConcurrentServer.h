#pragma once
// A scripted HTTP peer on 127.0.0.1 that serves every accepted connection on a thread of its
// own, for clients that hold several connections at once. Each request is handed to the
// handler with what it asked for; the handler answers on the connection.

#include <atomic>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackServer.h"
#include "Sockets.h"

namespace kestrune::test {

struct Request {
  std::string raw;
  std::string path;
  std::string range;    // the Range value, "" when none
  std::string ifRange;  // the If-Range value, "" when none
  int connection = 0;   // 0-based index of the connection it came on
};

inline std::string HeaderValue(const std::string& raw, const std::string& name) {
  const std::string key = "\r\n" + name + ": ";
  std::size_t at = raw.find(key);
  if (at == std::string::npos) return {};
  at += key.size();
  return raw.substr(at, raw.find("\r\n", at) - at);
}

class ConcurrentServer {
 public:
  // Answers one request; false closes the connection after it. The handler leaves closing
  // the connection to the server.
  using Handler = std::function<bool(LoopbackConnection&, const Request&)>;

  explicit ConcurrentServer(Handler handler) : handler_(std::move(handler)) {
    listenFd_ = ListenOnLoopback(64, port_);
    if (listenFd_ == kNoSocket) throw std::runtime_error("bind/listen");
    acceptor_ = std::jthread([this](std::stop_token stop) { Accept(stop); });
  }
  ~ConcurrentServer() {
    stop_ = true;
    acceptor_.request_stop();
    acceptor_.join();
    connections_.clear();
    CloseSocket(listenFd_);
  }
  ConcurrentServer(const ConcurrentServer&) = delete;
  ConcurrentServer& operator=(const ConcurrentServer&) = delete;

  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  int Connections() const { return accepted_; }
  std::vector<Request> Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }

 private:
  void Accept(const std::stop_token& stop) {
    while (!stop.stop_requested()) {
      if (!Readable(listenFd_, 20)) continue;
      const SocketHandle fd = accept(listenFd_, nullptr, nullptr);
      if (fd == kNoSocket) continue;
      SetReceiveTimeout(fd, 10);
      const int index = accepted_++;
      connections_.emplace_back([this, fd, index] { Serve(fd, index); });
    }
  }

  void Serve(SocketHandle fd, int index) {
    LoopbackConnection c(fd, [](const std::string&) {});
    for (;;) {
      // A connection the client keeps open ends with the server.
      while (!stop_ && !Readable(fd, 20)) {
      }
      if (stop_) return;
      Request r;
      r.raw = c.ReadRequest();
      if (r.raw.empty()) return;
      std::size_t space = r.raw.find(' ');
      r.path = r.raw.substr(space + 1, r.raw.find(' ', space + 1) - space - 1);
      r.range = HeaderValue(r.raw, "Range");
      r.ifRange = HeaderValue(r.raw, "If-Range");
      r.connection = index;
      {
        std::lock_guard lock(mutex_);
        requests_.push_back(r);
      }
      if (!handler_(c, r)) return;
    }
  }

  Handler handler_;
  SocketHandle listenFd_;
  int port_ = 0;
  std::atomic<int> accepted_{0};
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<Request> requests_;
  std::vector<std::jthread> connections_;
  std::jthread acceptor_;
};

// The answer of a file server holding `body` under `etag`: the whole body, or with
// `honourRange` the asked-for rest as a 206 when If-Range names the same tag.
inline std::string FileAnswer(const Request& r, const std::string& body, const std::string& etag,
                              bool honourRange = true) {
  const std::string tag = "ETag: " + etag + "\r\n";
  if (honourRange && r.range.rfind("bytes=", 0) == 0 && r.ifRange == etag) {
    std::size_t from = std::stoul(r.range.substr(6));
    if (from >= body.size())
      return Response("HTTP/1.1 416 Range Not Satisfiable", "",
                      "Content-Range: bytes */" + std::to_string(body.size()) + "\r\n");
    return Response("HTTP/1.1 206 Partial Content", body.substr(from),
                    tag + "Content-Range: bytes " + std::to_string(from) + "-" +
                        std::to_string(body.size() - 1) + "/" + std::to_string(body.size()) +
                        "\r\n");
  }
  return Response("HTTP/1.1 200 OK", body, tag);
}

}  // namespace kestrune::test
