#include "DelayProxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <stdexcept>
#include <string>

#include "Platform.h"

namespace kestrune::bench {
namespace {

using Clock = std::chrono::steady_clock;

class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// One direction of a connection: what was read, each piece with the time it may go on.
struct Lane {
  Lane(int source, int sink) : from(source), to(sink) {}
  int from;
  int to;
  struct Piece {
    Clock::time_point due;
    std::string bytes;
  };
  std::deque<Piece> held;
  std::size_t heldBytes = 0;
  bool ended = false;     // `from` gave its last byte
  bool shutDown = false;  // and `to` was told so
};

}  // namespace

DelayProxy::DelayProxy(const Options& options) : options_(options) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(0);
  socklen_t size = sizeof address;
  if (listener_ < 0 ||
      ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 128) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    if (listener_ >= 0) ::close(listener_);
    throw std::runtime_error("delay proxy: cannot listen on loopback");
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::jthread([this](std::stop_token stop) { Accept(stop); });
}

DelayProxy::~DelayProxy() {
  acceptor_.request_stop();
  acceptor_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  links_.clear();  // each stops and joins
  ::close(listener_);
}

std::string DelayProxy::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void DelayProxy::Accept(std::stop_token stop) {
  platform::SetCurrentThreadName("delay-accept");
  while (!stop.stop_requested()) {
    pollfd ready{listener_, POLLIN, 0};
    if (::poll(&ready, 1, 20) <= 0) continue;
    const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    ++connections_;
    std::lock_guard<std::mutex> lock(mutex_);
    links_.remove_if([](const Link& link) { return link.done.load(); });
    Link& link = links_.emplace_back();
    link.thread = std::jthread([this, client, &link](std::stop_token linkStop) {
      Serve(linkStop, client);
      link.done = true;
    });
  }
}

void DelayProxy::Serve(std::stop_token stop, int clientFd) {
  platform::SetCurrentThreadName("delay-link");
  Socket client(clientFd);
  const int generation = generation_;
  // The handshake's round trip: nothing is read before it has passed.
  const auto usable = Clock::now() + options_.connect;
  while (Clock::now() < usable) {
    if (stop.stop_requested()) return;
    std::this_thread::sleep_until(std::min(usable, Clock::now() + std::chrono::milliseconds(20)));
  }
  Socket upstream(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_in address = Loopback(options_.upstreamPort);
  if (upstream.fd() < 0 ||
      ::connect(upstream.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return;
  }
  const int one = 1;
  for (int fd : {client.fd(), upstream.fd()}) {
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }

  Lane lanes[2] = {Lane(client.fd(), upstream.fd()), Lane(upstream.fd(), client.fd())};
  std::string buffer(64 << 10, '\0');
  bool broken = false;
  while (!stop.stop_requested() && !broken && !(lanes[0].shutDown && lanes[1].shutDown)) {
    if (generation_ != generation) {
      // A broken link: the client sees a reset, the server a closed connection.
      const linger reset{1, 0};
      ::setsockopt(client.fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
      return;
    }
    const auto now = Clock::now();
    auto wait = std::chrono::milliseconds(20);
    pollfd fds[2] = {{client.fd(), 0, 0}, {upstream.fd(), 0, 0}};
    for (int i = 0; i < 2; ++i) {
      Lane& lane = lanes[i];
      if (!lane.ended && lane.heldBytes < options_.window) fds[i].events |= POLLIN;
      if (!lane.held.empty()) {
        if (lane.held.front().due <= now) {
          fds[1 - i].events |= POLLOUT;
        } else {
          wait = std::min(
              wait, std::chrono::ceil<std::chrono::milliseconds>(lane.held.front().due - now));
        }
      }
    }
    if (::poll(fds, 2, static_cast<int>(wait.count())) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      Lane& lane = lanes[i];
      if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && (fds[i].events & POLLIN) != 0) {
        const ssize_t n = ::recv(lane.from, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n > 0) {
          lane.held.push_back(
              {Clock::now() + options_.oneWay, buffer.substr(0, static_cast<std::size_t>(n))});
          lane.heldBytes += static_cast<std::size_t>(n);
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
          lane.ended = true;
        }
      }
    }
    for (int i = 0; i < 2 && !broken; ++i) {
      Lane& lane = lanes[i];
      while (!lane.held.empty() && lane.held.front().due <= Clock::now()) {
        std::string& bytes = lane.held.front().bytes;
        const ssize_t n = ::send(lane.to, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0) {
          broken = errno != EAGAIN && errno != EINTR;
          break;
        }
        lane.heldBytes -= static_cast<std::size_t>(n);
        if (lane.to == client.fd()) {
          const std::uint64_t total = toClients_ += static_cast<std::uint64_t>(n);
          if (options_.cutAfter != 0 && total >= options_.cutAfter && !cut_.exchange(true)) {
            ++generation_;
          }
        }
        if (static_cast<std::size_t>(n) < bytes.size()) {
          bytes.erase(0, static_cast<std::size_t>(n));
          break;
        }
        lane.held.pop_front();
      }
      if (lane.ended && lane.held.empty() && !lane.shutDown) {
        ::shutdown(lane.to, SHUT_WR);
        lane.shutDown = true;
      }
    }
  }
}

}  // namespace kestrune::bench
