#pragma once
// A real nginx on a free loopback port, for end-to-end tests and benchmarks.
// It runs in the foreground as a child process, with its configuration, logs
// and temporary files inside a folder of the caller's. Under Wine it is the
// host's nginx, started through the host's shell; paths in the options and
// directives are the host's (HostPath).

#include <filesystem>
#include <string>

namespace kestrune::test {

// A port on 127.0.0.1 that nothing listened on a moment ago.
int FreeLoopbackPort();
// Whether something accepts TCP connections on 127.0.0.1:port.
bool AcceptsConnections(int port);

class NginxServer {
 public:
  struct Options {
    std::filesystem::path root{};    // the folder served at "/"
    std::string listenParameters{};  // after the address in "listen", e.g. "ssl"
    std::string serverDirectives{};  // more lines of the server block (certificates, types)
    std::string httpDirectives{};    // more lines of the http block (log formats)
  };

  // Starts nginx with its files in `dir` and waits until it accepts
  // connections; running() tells whether it came up.
  NginxServer(const std::filesystem::path& dir, const Options& options);
  ~NginxServer();
  NginxServer(const NginxServer&) = delete;
  NginxServer& operator=(const NginxServer&) = delete;

  bool running() const { return running_; }
  int port() const { return port_; }
  // "http://127.0.0.1:PORT" + path, or another scheme and host.
  std::string Url(const std::string& path, const std::string& scheme = "http",
                  const std::string& host = "127.0.0.1") const;

 private:
  bool Start(const std::filesystem::path& dir, const Options& options);
  void Stop();

  int port_ = 0;
  bool running_ = false;
  std::filesystem::path dir_;
  long pid_ = -1;  // POSIX: the child's process id
};

}  // namespace kestrune::test
