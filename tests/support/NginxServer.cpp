#include "NginxServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

namespace kestrune::test {

namespace {

sockaddr_in Loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  return addr;
}

}  // namespace

int FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr = Loopback(0);
  socklen_t len = sizeof addr;
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

bool AcceptsConnections(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in addr = Loopback(port);
  const bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

NginxServer::NginxServer(const std::filesystem::path& dir, const Options& options) {
  // Another process may take the free port before nginx binds it: try again.
  for (int attempt = 0; attempt < 3 && !Start(dir, options); ++attempt) {
  }
}

bool NginxServer::Start(const std::filesystem::path& dir, const Options& options) {
  const std::string d = dir.string();
  port_ = FreeLoopbackPort();
  std::filesystem::create_directories(dir / "tmp");
  std::ofstream(dir / "nginx.conf")
      << "daemon off;\nmaster_process off;\npid " << d << "/nginx.pid;\n"
      << "error_log " << d << "/error.log;\n"
      << "events { worker_connections 64; }\n"
      << "http {\n  access_log off;\n  sendfile on;\n"
      << "  client_body_temp_path " << d << "/tmp;\n  proxy_temp_path " << d << "/tmp;\n"
      << "  fastcgi_temp_path " << d << "/tmp;\n  uwsgi_temp_path " << d << "/tmp;\n"
      << "  scgi_temp_path " << d << "/tmp;\n  default_type application/octet-stream;\n"
      << options.httpDirectives << "\n"
      << "  server {\n    listen 127.0.0.1:" << port_ << " " << options.listenParameters
      << ";\n    root " << options.root.string() << ";\n"
      << options.serverDirectives << "\n  }\n}\n";
  const pid_t pid = fork();
  if (pid == 0) {
    execlp("nginx", "nginx", "-p", d.c_str(), "-e", (d + "/error.log").c_str(), "-c",
           (d + "/nginx.conf").c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 250; ++i) {
    if (AcceptsConnections(port_)) {
      pid_ = pid;
      return true;
    }
    if (waitpid(pid, nullptr, WNOHANG) == pid) return false;  // it gave up (port taken?)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return false;
}

NginxServer::~NginxServer() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
}

std::string NginxServer::Url(const std::string& path, const std::string& scheme,
                             const std::string& host) const {
  return scheme + "://" + host + ":" + std::to_string(port_) + path;
}

}  // namespace kestrune::test
