// What a hostile or broken server cannot make HttpClient do: keep an endless body, wait for a
// trickle or a deadline that never comes, hang on a 101, or miss a Cancel between two GETs.

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <future>
#include <optional>
#include <sstream>
#include <thread>

#include "HttpTestSupport.h"
#include "Limits.h"
#include "LoopbackServer.h"
#include "Platform.h"
#include "TestSupport.h"
#include "http/HttpClient.h"

namespace kestrune {
namespace {

using std::chrono::milliseconds;
using test::Always;
using test::Failure;
using test::LoopbackConnection;
using test::LoopbackServer;
using test::Response;

#ifndef _WIN32
// A field of /proc/self/status in KiB, -1 when it cannot be read.
std::int64_t StatusKiB(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind(field + ":", 0) == 0) return std::stoll(line.substr(field.size() + 1));
  return -1;
}
#endif

// How far the process's peak resident size rose above its size before `call`, in KiB; -1 when
// the peak cannot be reset (it would still hold the peak of earlier tests), as on Windows,
// which has no /proc. `call` runs either way.
template <typename Call>
std::int64_t PeakGrowthKiB(Call&& call) {
#ifndef _WIN32
  bool reset = false;
  {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    reset = static_cast<bool>(clear);
  }
  if (reset) {
    const std::int64_t before = StatusKiB("VmRSS");
    call();
    return StatusKiB("VmHWM") - before;
  }
#endif
  call();
  return -1;
}

// More than any bound and far more than the memory ceiling: without a bound this fills memory.
constexpr std::int64_t kEndless = std::int64_t{256} << 20;
constexpr std::int64_t kMemoryCeilingKiB = 16 << 10;

struct EndlessCase {
  std::string name;
  std::string head;
  bool chunked;
  HttpError::Kind kind;
  int status;  // of a failed response, else 0
};

void PrintTo(const EndlessCase& c, std::ostream* os) {
  *os << c.name;
}

class HttpEndlessBody : public ::testing::TestWithParam<EndlessCase> {};

TEST_P(HttpEndlessBody, StaysUnderTheMemoryCeilingAndFails) {
  const EndlessCase& c = GetParam();
  LoopbackServer server([&c](LoopbackConnection& conn, int index) {
    if (conn.ReadRequest().empty()) return;
    if (index > 0) return conn.Send(Response("HTTP/1.1 200 OK", "next"));
    conn.Send(c.head);
    const std::string block(std::size_t{64} << 10, 'x');
    const std::string piece = c.chunked ? "10000\r\n" + block + "\r\n" : block;
    // Once the client hangs up every send fails at once.
    for (std::int64_t sent = 0; sent < kEndless; sent += static_cast<std::int64_t>(block.size()))
      conn.Send(piece);
  });
  HttpClient client;
  client.MaxBodySize = limits::kSettingsBody;
  std::optional<HttpError> error;
  const std::int64_t growth =
      PeakGrowthKiB([&] { error = Failure([&] { client.GetText(server.Url("/Settings.xml")); }); });
  if (growth >= 0) {
    std::printf("%s: peak grew by %lld KiB\n", c.name.c_str(), static_cast<long long>(growth));
    EXPECT_LT(growth, kMemoryCeilingKiB);
  } else {
    std::printf("%s: the peak resident size cannot be reset here\n", c.name.c_str());
  }
  EXPECT_EQ(error->kind(), c.kind) << error->what();
  if (c.kind == HttpError::Kind::MaxBodySize) {
    EXPECT_STREQ(error->what(), "Max body size exceeded.");
  } else {
    EXPECT_EQ(error->status(), c.status);
    EXPECT_EQ(error->body(), std::string(static_cast<std::size_t>(limits::kErrorBody), 'x'));
  }
  // The connection was dropped, not drained: the next GET needs a new one.
  EXPECT_EQ(client.GetText(server.Url("/again")), "next");
  EXPECT_EQ(server.Connections(), 2);
}

INSTANTIATE_TEST_SUITE_P(
    Http, HttpEndlessBody,
    ::testing::Values(EndlessCase{"HugeContentLength",
                                  "HTTP/1.1 200 OK\r\nContent-Length: 1099511627776\r\n\r\n", false,
                                  HttpError::Kind::MaxBodySize, 0},
                      EndlessCase{"ChunkedWithoutEnd",
                                  "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", true,
                                  HttpError::Kind::MaxBodySize, 0},
                      EndlessCase{"UntilCloseWithoutEnd", "HTTP/1.0 200 OK\r\n\r\n", false,
                                  HttpError::Kind::MaxBodySize, 0},
                      EndlessCase{"ErrorBodyChunked",
                                  "HTTP/1.1 404 Not Found\r\nTransfer-Encoding: chunked\r\n\r\n",
                                  true, HttpError::Kind::Protocol, 404},
                      EndlessCase{"ErrorBodyHugeContentLength",
                                  "HTTP/1.1 500 Oops\r\nContent-Length: 1099511627776\r\n\r\n",
                                  false, HttpError::Kind::Protocol, 500}),
    [](const auto& info) { return info.param.name; });

TEST(HttpBodyLimit, AnnouncedLengthAboveTheBoundFailsBeforeTheBodyIsSent) {
  std::promise<bool> hungUpBeforeBody;
  LoopbackServer server([&](LoopbackConnection& c, int) {
    if (c.ReadRequest().empty()) return;
    c.Send("HTTP/1.1 200 OK\r\nContent-Length: 8388608\r\n\r\n");
    const bool hungUp = c.WaitForClientClose(milliseconds(3000));
    hungUpBeforeBody.set_value(hungUp);
    if (!hungUp) c.Send(std::string(8388608, 'b'));
  });
  HttpClient client;
  client.MaxBodySize = 1 << 20;
  bool notified = false;
  client.WorkBegin = [&](HttpClient&, HttpClient::WorkMode, std::int64_t) { notified = true; };
  std::ostringstream out;
  HttpError e = Failure([&] { client.GetToStream(server.Url("/big"), out); });
  EXPECT_EQ(e.kind(), HttpError::Kind::MaxBodySize);
  EXPECT_STREQ(e.what(), "Max body size exceeded.");
  EXPECT_TRUE(hungUpBeforeBody.get_future().get());
  EXPECT_EQ(out.str(), "");
  EXPECT_FALSE(notified);
}

struct BoundCase {
  std::string name;
  std::string reply;  // the whole response
  bool fails;
};

void PrintTo(const BoundCase& c, std::ostream* os) {
  *os << c.name;
}

class HttpBodyBound : public ::testing::TestWithParam<BoundCase> {};

constexpr std::int64_t kBound = 1000;
const std::string kAtBound = test::Bytes(kBound, 1);
const std::string kPastBound = kAtBound + "!";

std::string Chunked(const std::string& body) {
  std::ostringstream hex;
  hex << std::hex << body.size();
  return "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + hex.str() + "\r\n" + body +
         "\r\n0\r\n\r\n";
}

// A body of exactly the bound passes; one byte more fails, and that byte never reaches the
// destination.
TEST_P(HttpBodyBound, KeepsNothingPastTheBound) {
  const BoundCase& c = GetParam();
  LoopbackServer server([&c](LoopbackConnection& conn, int) {
    if (!conn.ReadRequest().empty()) conn.Send(c.reply);
  });
  HttpClient client;
  client.MaxBodySize = kBound;
  std::ostringstream out;
  if (!c.fails) {
    EXPECT_NO_THROW(client.GetToStream(server.Url("/"), out));
    EXPECT_EQ(out.str(), kAtBound);
    return;
  }
  EXPECT_EQ(Failure([&] { client.GetToStream(server.Url("/"), out); }).kind(),
            HttpError::Kind::MaxBodySize);
  EXPECT_EQ(out.str(), kAtBound);
}

INSTANTIATE_TEST_SUITE_P(Http, HttpBodyBound,
                         ::testing::Values(BoundCase{"LengthAtBound",
                                                     Response("HTTP/1.1 200 OK", kAtBound), false},
                                           BoundCase{"ChunkedAtBound", Chunked(kAtBound), false},
                                           BoundCase{"ChunkedPastBound", Chunked(kPastBound), true},
                                           BoundCase{"UntilClosePastBound",
                                                     "HTTP/1.0 200 OK\r\n\r\n" + kPastBound, true}),
                         [](const auto& info) { return info.param.name; });

// Sends `pieces` pieces of `piece` bytes, one every `pause`, and stops once the client hangs up.
LoopbackServer::Script Paced(int pieces, std::size_t piece, milliseconds pause) {
  return [=](LoopbackConnection& c, int) {
    if (c.ReadRequest().empty()) return;
    c.Send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(pieces * piece) + "\r\n\r\n");
    for (int i = 0; i < pieces; ++i) {
      c.Send(std::string(piece, 'r'));
      if (c.WaitForClientClose(pause)) return;
    }
  };
}

void ExpectTimedOut(const HttpError& e) {
  EXPECT_EQ(e.kind(), HttpError::Kind::Transport) << e.what();
  EXPECT_EQ(e.socketError(), platform::SocketTimedOut());
  EXPECT_EQ(std::string(e.what()).rfind("Socket Error # ", 0), 0u) << e.what();
}

TEST(HttpRate, TricklingServerIsCutByTheMinimumRate) {
  // 10 bytes/s for 10 s; the idle limit never fires, as a byte comes every 100 ms.
  LoopbackServer server(Paced(100, 1, milliseconds(100)));
  HttpClient client;
  client.SetMinimumRateForTest(200, std::chrono::seconds(1));
  std::ostringstream out;
  ExpectTimedOut(Failure([&] { client.GetToStream(server.Url("/trickle"), out); }));
  EXPECT_GT(out.str().size(), 0u);
  EXPECT_LT(out.str().size(), 100u);
}

TEST(HttpRate, SlowButSteadyTransferAboveTheRateSucceeds) {
  // 1000 bytes/s for 3 s, against a minimum of 200 bytes/s over 1 s.
  LoopbackServer server(Paced(30, 100, milliseconds(100)));
  HttpClient client;
  client.SetMinimumRateForTest(200, std::chrono::seconds(1));
  std::ostringstream out;
  EXPECT_NO_THROW(client.GetToStream(server.Url("/steady"), out));
  EXPECT_EQ(out.str(), std::string(3000, 'r'));
}

TEST(HttpDeadline, CutsASteadyTransferThatWouldOutlastIt) {
  // 1000 bytes/s for 5 s: well above the minimum rate, but past the deadline.
  LoopbackServer server(Paced(50, 100, milliseconds(100)));
  HttpClient client;
  client.Deadline = milliseconds(800);
  std::ostringstream out;
  ExpectTimedOut(Failure([&] { client.GetToStream(server.Url("/long"), out); }));
  EXPECT_GT(out.str().size(), 0u);
  EXPECT_LT(out.str().size(), 5000u);
}

TEST(HttpFailure, SwitchingProtocolsFailsAtOnce) {
  std::promise<bool> hungUp;
  LoopbackServer server([&](LoopbackConnection& c, int) {
    if (c.ReadRequest().empty()) return;
    c.Send("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n");
    // Far less than the idle limit; a client that waits for more sees the close instead.
    hungUp.set_value(c.WaitForClientClose(milliseconds(5000)));
  });
  HttpClient client;
  HttpError e = Failure([&] { client.GetText(server.Url("/ws")); });
  EXPECT_EQ(e.kind(), HttpError::Kind::Protocol);
  EXPECT_EQ(e.status(), 101);
  EXPECT_STREQ(e.what(), "HTTP/1.1 101 Switching Protocols");
  EXPECT_TRUE(hungUp.get_future().get());
}

// The Cancel of the patch worker: its flag is set and the Disconnect lands just after the
// worker looked at the flag, before the worker's next GET began.
TEST(HttpDisconnect, FromAnotherThreadBetweenGetsStopsTheNextGet) {
  LoopbackServer server(Always(Response("HTTP/1.1 200 OK", "ok")));
  HttpClient client;
  auto cancel = [&client] { std::thread([&client] { client.Disconnect(); }).join(); };

  cancel();  // before the first GET
  EXPECT_EQ(Failure([&] { client.GetText(server.Url("/1")); }).kind(),
            HttpError::Kind::ConnectionClosed);
  EXPECT_EQ(server.Requests().size(), 0u);
  EXPECT_EQ(client.GetText(server.Url("/2")), "ok");

  cancel();  // between two GETs on a kept-alive connection
  HttpError e = Failure([&] { client.GetText(server.Url("/3")); });
  EXPECT_EQ(e.kind(), HttpError::Kind::ConnectionClosed);
  EXPECT_STREQ(e.what(), "Connection Closed Gracefully.");
  EXPECT_EQ(server.Requests().size(), 1u);
  // Remembered for one GET only.
  EXPECT_EQ(client.GetText(server.Url("/4")), "ok");
  EXPECT_EQ(server.Requests().size(), 2u);
}

}  // namespace
}  // namespace kestrune
