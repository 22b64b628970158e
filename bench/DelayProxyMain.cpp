// delay_proxy UPSTREAM_PORT [ONE_WAY_MS]: the delay proxy as a program, in front of a server on
// 127.0.0.1:UPSTREAM_PORT (default 25 ms each way, a new connection held for a round trip).
// Prints the address it listens on and runs until SIGINT or SIGTERM.

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "DelayProxy.h"

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3 || std::atoi(argv[1]) <= 0 || (argc == 3 && std::atoi(argv[2]) < 0)) {
    std::fprintf(stderr, "usage: delay_proxy UPSTREAM_PORT [ONE_WAY_MS]\n");
    return 2;
  }
  // Blocked before the proxy's threads start, so that only sigwait takes them.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  try {
    const std::chrono::milliseconds oneWay(argc == 3 ? std::atoi(argv[2]) : 25);
    kestrune::bench::DelayProxy proxy(
        {.upstreamPort = std::atoi(argv[1]), .oneWay = oneWay, .connect = 2 * oneWay});
    std::printf("127.0.0.1:%d\n", proxy.port());
    std::fflush(stdout);
    int signal = 0;
    sigwait(&stop, &signal);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "delay_proxy: %s\n", e.what());
    return 1;
  }
  return 0;
}
