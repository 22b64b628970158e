#pragma once
// A TCP proxy on 127.0.0.1 that makes loopback look like a distant server: every byte is held
// `oneWay` in each direction, and a new connection carries nothing for `connect` (the round
// trip of a TCP handshake), so a request on it reaches the server 1.5 round trips after the
// connect, as it would over the internet. It can also drop every open connection once, after
// a given number of bytes towards the client, as a broken link would.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

namespace kestrune::bench {

class DelayProxy {
 public:
  struct Options {
    int upstreamPort = 0;  // on 127.0.0.1
    std::chrono::milliseconds oneWay{25};
    std::chrono::milliseconds connect{50};
    // After this many bytes towards the clients, in all, every connection then open is reset
    // (once; later connections pass). 0: never.
    std::uint64_t cutAfter = 0;
    // Bytes held per direction before the proxy stops reading: the window of the emulated link.
    std::size_t window = std::size_t{16} << 20;
  };

  // Listens on a free port at once; throws std::runtime_error when it cannot.
  explicit DelayProxy(const Options& options);
  ~DelayProxy();
  DelayProxy(const DelayProxy&) = delete;
  DelayProxy& operator=(const DelayProxy&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:PORT" + path.
  std::string Url(const std::string& path) const;
  std::uint64_t bytesToClients() const { return toClients_; }
  int connections() const { return connections_; }
  bool cut() const { return cut_; }

 private:
  void Accept(std::stop_token stop);
  void Serve(std::stop_token stop, int client);

  struct Link {
    std::atomic<bool> done{false};
    std::jthread thread;  // last: joined before `done` goes
  };

  Options options_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<std::uint64_t> toClients_{0};
  std::atomic<int> connections_{0};
  std::atomic<bool> cut_{false};
  std::atomic<int> generation_{0};  // raised by the cut: connections of an older one end
  std::mutex mutex_;
  std::list<Link> links_;  // one a connection; finished ones are joined at the next accept
  std::jthread acceptor_;  // last: stopped and joined first
};

}  // namespace kestrune::bench
