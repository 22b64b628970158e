#include "NginxServer.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#endif

#include <chrono>
#include <fstream>
#include <thread>

#include "Sockets.h"
#include "TestSupport.h"

namespace kestrune::test {

int FreeLoopbackPort() {
  const SocketHandle s = OpenTcpSocket();
  sockaddr_in addr = LoopbackAddress(0);
  socklen_t len = sizeof addr;
  bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
  CloseSocket(s);
  return ntohs(addr.sin_port);
}

bool AcceptsConnections(int port) {
  const SocketHandle s = OpenTcpSocket();
  const sockaddr_in addr = LoopbackAddress(port);
  const bool ok = connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  CloseSocket(s);
  return ok;
}

NginxServer::NginxServer(const std::filesystem::path& dir, const Options& options) : dir_(dir) {
  // Another process may take the free port before nginx binds it: try again.
  for (int attempt = 0; attempt < 3 && !Start(dir, options); ++attempt) {
  }
}

bool NginxServer::Start(const std::filesystem::path& dir, const Options& options) {
  const std::string d = HostPath(dir);
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
      << ";\n    root " << HostPath(options.root) << ";\n"
      << options.serverDirectives << "\n  }\n}\n";
#ifdef _WIN32
  // No process handle comes back for a Linux program: the shell that runs nginx leaves a mark
  // when it ends, and the pid file names it for the stop.
  const std::filesystem::path ended = dir / "nginx.ended";
  std::filesystem::remove(ended);
  std::filesystem::remove(dir / "nginx.pid");
  CommandStatus("(nginx -p '" + d + "' -e '" + d + "/error.log' -c '" + d +
                "/nginx.conf'; touch '" + HostPath(ended) + "') </dev/null >/dev/null 2>&1 &");
  for (int i = 0; i < 250; ++i) {
    if (AcceptsConnections(port_) && std::filesystem::exists(dir / "nginx.pid")) {
      running_ = true;
      return true;
    }
    if (std::filesystem::exists(ended)) return false;  // it gave up (port taken?)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  Stop();
  return false;
#else
  const pid_t pid = fork();
  if (pid == 0) {
    execlp("nginx", "nginx", "-p", d.c_str(), "-e", (d + "/error.log").c_str(), "-c",
           (d + "/nginx.conf").c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  pid_ = pid;
  for (int i = 0; i < 250; ++i) {
    if (AcceptsConnections(port_)) {
      running_ = true;
      return true;
    }
    if (waitpid(pid, nullptr, WNOHANG) == pid) return false;  // it gave up (port taken?)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return false;
#endif
}

void NginxServer::Stop() {
#ifdef _WIN32
  const std::string pidFile = HostPath(dir_ / "nginx.pid");
  CommandStatus("kill -TERM $(cat '" + pidFile + "')");
  // Gone only when the shell has marked its end: the logs are complete then.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!std::filesystem::exists(dir_ / "nginx.ended") &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!std::filesystem::exists(dir_ / "nginx.ended")) {
    CommandStatus("kill -KILL $(cat '" + pidFile + "')");
  }
#else
  kill(static_cast<pid_t>(pid_), SIGTERM);
  waitpid(static_cast<pid_t>(pid_), nullptr, 0);
#endif
  running_ = false;
}

NginxServer::~NginxServer() {
  if (running_) Stop();
}

std::string NginxServer::Url(const std::string& path, const std::string& scheme,
                             const std::string& host) const {
  return scheme + "://" + host + ":" + std::to_string(port_) + path;
}

}  // namespace kestrune::test
