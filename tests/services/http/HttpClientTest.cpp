// Wire-level tests of HttpClient against the scripted loopback server.

#include "http/HttpClient.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <future>
#include <sstream>
#include <thread>

#include "HttpTestSupport.h"
#include "LoopbackServer.h"
#include "NginxServer.h"
#include "Platform.h"
#include "ScopedEnv.h"
#include "WindowsSupport.h"

namespace kestrune {
namespace {

using std::chrono::milliseconds;
using test::Always;
using test::Failure;
using test::LoopbackConnection;
using test::LoopbackServer;
using test::Response;

constexpr const char* kAcceptLine =
    "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8\r\n";

// Notifications as text, e.g. "begin 1000", "work 600", "end".
struct Events {
  std::vector<std::string> log;
  std::vector<std::int64_t> counts;
  void Attach(HttpClient& client) {
    client.WorkBegin = [this](HttpClient&, HttpClient::WorkMode mode, std::int64_t total) {
      EXPECT_EQ(mode, HttpClient::WorkMode::Read);
      log.push_back("begin " + std::to_string(total));
    };
    client.Work = [this](HttpClient&, HttpClient::WorkMode, std::int64_t count) {
      counts.push_back(count);
      if (log.empty() || log.back().rfind("work", 0) != 0) log.push_back("work");
    };
    client.WorkEnd = [this](HttpClient&, HttpClient::WorkMode) { log.push_back("end"); };
  }
};

struct RequestCase {
  std::string name;
  std::string url;        // "PORT" is replaced by the server's port
  std::string userAgent;  // "default" keeps the client's default
  std::string expected;   // "PORT" replaced likewise
};

void PrintTo(const RequestCase& c, std::ostream* os) {
  *os << c.name;
}

class HttpRequestBytes : public ::testing::TestWithParam<RequestCase> {};

std::string WithPort(std::string text, int port) {
  for (std::size_t at; (at = text.find("PORT")) != std::string::npos;)
    text.replace(at, 4, std::to_string(port));
  return text;
}

TEST_P(HttpRequestBytes, AreExactlyTheDescribedHead) {
  const RequestCase& c = GetParam();
  LoopbackServer server(Always(Response("HTTP/1.1 200 OK", "x")));
  HttpClient client;
  if (c.userAgent != "default") client.UserAgent = c.userAgent;
  EXPECT_EQ(client.GetText(WithPort(c.url, server.port())), "x");
  auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0], WithPort(c.expected, server.port()));
}

const std::string kAccept = kAcceptLine;
INSTANTIATE_TEST_SUITE_P(
    Http, HttpRequestBytes,
    ::testing::Values(
        RequestCase{"DefaultAgent", "http://127.0.0.1:PORT/pts/Settings.xml", "default",
                    "GET /pts/Settings.xml HTTP/1.1\r\nHost: 127.0.0.1:PORT\r\n" + kAccept +
                        "User-Agent: Mozilla/3.0 (compatible; Indy Library)\r\n\r\n"},
        RequestCase{"EmptyAgentSendsNone", "http://127.0.0.1:PORT/a", "",
                    "GET /a HTTP/1.1\r\nHost: 127.0.0.1:PORT\r\n" + kAccept + "\r\n"},
        RequestCase{
            "OwnAgentNonAsciiAsQuestionMark", "http://127.0.0.1:PORT/a", "Upd\xC3\xA9/1",
            "GET /a HTTP/1.1\r\nHost: 127.0.0.1:PORT\r\n" + kAccept + "User-Agent: Upd?/1\r\n\r\n"},
        RequestCase{"BackslashesBeforeQueryOnly",
                    "http://127.0.0.1:PORT/files/system\\data.bin.lzma?p=a\\b#frag", "",
                    "GET /files/system/data.bin.lzma?p=a\\b HTTP/1.1\r\nHost: 127.0.0.1:PORT\r\n" +
                        kAccept + "\r\n"},
        RequestCase{
            "BlanksAndCyrillicPercentEncoded",
            "http://127.0.0.1:PORT/my files/\xD0\x9F\xD1\x80.txt?q=a b", "",
            "GET /my%20files/%D0%9F%D1%80.txt?q=a%20b HTTP/1.1\r\nHost: 127.0.0.1:PORT\r\n" +
                kAccept + "\r\n"},
        RequestCase{"SchemeCaseAndEmptyPath", "HTTP://127.0.0.1:PORT", "",
                    "GET / HTTP/1.1\r\nHost: 127.0.0.1:PORT\r\n" + kAccept + "\r\n"},
        RequestCase{"LocalhostResolvesToIPv4", "http://localhost:PORT/x", "",
                    "GET /x HTTP/1.1\r\nHost: localhost:PORT\r\n" + kAccept + "\r\n"},
        RequestCase{"OtherSchemeWithPortSpeaksHttp", "game://127.0.0.1:PORT/x", "",
                    "GET /x HTTP/1.1\r\nHost: 127.0.0.1:PORT\r\n" + kAccept + "\r\n"}),
    [](const auto& info) { return info.param.name; });

TEST(HttpUrl, WithoutUsableSchemeIsUnknownProtocolAndClientStaysUsable) {
  LoopbackServer server(Always(Response("HTTP/1.1 200 OK", "ok")));
  HttpClient client;
  for (const char* url : {"127.0.0.1/Settings.xml", "ftp://127.0.0.1/x", "mailto:a@b", ""}) {
    HttpError e = Failure([&] { client.GetText(url); });
    EXPECT_EQ(e.kind(), HttpError::Kind::UnknownProtocol) << url;
    EXPECT_STREQ(e.what(), "Unknown Protocol");
  }
  EXPECT_EQ(client.GetText(server.Url("/")), "ok");
}

TEST(HttpBody, StreamGetsTheBytesAndWorkCountsBlocksUpTo32K) {
  std::string body(100000, '\0');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7 + i / 251);
  LoopbackServer server(Always(Response("HTTP/1.1 200 OK", body)));
  HttpClient client;
  Events events;
  events.Attach(client);
  std::ostringstream out;
  out << "head";
  client.GetToStream(server.Url("/big.bin"), out);
  EXPECT_EQ(out.str(), "head" + body);
  EXPECT_EQ(events.log, (std::vector<std::string>{"begin 100000", "work", "end"}));
  ASSERT_GE(events.counts.size(), 4u);
  std::int64_t previous = 0;
  for (std::int64_t count : events.counts) {
    EXPECT_GT(count, previous);
    EXPECT_LE(count - previous, 32768);
    previous = count;
  }
  EXPECT_EQ(previous, 100000);
}

TEST(HttpBody, WithoutBodyNoNotification) {
  for (const char* reply :
       {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", "HTTP/1.1 204 No Content\r\n\r\n"}) {
    LoopbackServer server(Always(reply));
    HttpClient client;
    Events events;
    events.Attach(client);
    EXPECT_EQ(client.GetText(server.Url("/")), "") << reply;
    EXPECT_TRUE(events.log.empty()) << reply;
  }
}

TEST(HttpBody, ChunkedCountsRawBytesAndKeepsTheConnection) {
  const std::string chunked = "5\r\nHello\r\n7;ext=1\r\n, World\r\n0\r\nX-Trailer: t\r\n\r\n";
  LoopbackServer server([&](LoopbackConnection& c, int) {
    c.ReadRequest();
    c.Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
    // Separate writes so that the client sees more than one block.
    c.Send(chunked.substr(0, 10));
    c.Sleep(milliseconds(50));
    c.Send(chunked.substr(10));
    if (!c.ReadRequest().empty()) c.Send(Response("HTTP/1.1 200 OK", "again"));
  });
  HttpClient client;
  Events events;
  events.Attach(client);
  EXPECT_EQ(client.GetText(server.Url("/c")), "Hello, World");
  EXPECT_EQ(events.log, (std::vector<std::string>{"begin 0", "work", "end"}));
  ASSERT_GE(events.counts.size(), 2u);
  EXPECT_EQ(events.counts.back(), static_cast<std::int64_t>(chunked.size()));
  EXPECT_EQ(client.GetText(server.Url("/d")), "again");
  EXPECT_EQ(server.Connections(), 1);
}

TEST(HttpBody, UntilCloseWithoutLength) {
  LoopbackServer server([](LoopbackConnection& c, int) {
    c.ReadRequest();
    c.Send("HTTP/1.0 200 OK\r\n\r\nall of it");
  });
  HttpClient client;
  EXPECT_EQ(client.GetText(server.Url("/")), "all of it");
}

TEST(HttpBody, InformationalResponsesAreSkipped) {
  LoopbackServer server(
      Always("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 102 Processing\r\nX: y\r\n\r\n"
             "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n\r\nok"));
  HttpClient client;
  Events events;
  events.Attach(client);
  EXPECT_EQ(client.GetText(server.Url("/")), "ok");
  EXPECT_EQ(events.log, (std::vector<std::string>{"begin 2", "work", "end"}));
}

TEST(HttpFailure, RedirectFailsWithoutFollowingAndStreamStaysEmpty) {
  LoopbackServer server(
      Always(Response("HTTP/1.1 302 Found", "moved", "Location: /elsewhere\r\n")));
  HttpClient client;
  std::ostringstream out;
  HttpError e = Failure([&] { client.GetToStream(server.Url("/a"), out); });
  EXPECT_EQ(e.kind(), HttpError::Kind::Protocol);
  EXPECT_EQ(e.status(), 302);
  EXPECT_STREQ(e.what(), "HTTP/1.1 302 Found");
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(server.Requests().size(), 1u);
}

TEST(HttpFailure, NotFoundCarriesStatusLineAndDecodedBodyAndStillNotifies) {
  // windows-1251 "Нет" declared by the meta element, whatever the header says.
  const std::string html = "<html><meta charset=\"windows-1251\"><p>\xCD\xE5\xF2</p></html>";
  LoopbackServer server(Always(
      Response("HTTP/1.1 404 Not Found", html, "Content-Type: text/html; charset=iso-8859-1\r\n")));
  HttpClient client;
  Events events;
  events.Attach(client);
  std::ostringstream out;
  HttpError e = Failure([&] { client.GetToStream(server.Url("/missing"), out); });
  EXPECT_EQ(e.kind(), HttpError::Kind::Protocol);
  EXPECT_EQ(e.status(), 404);
  EXPECT_STREQ(e.what(), "HTTP/1.1 404 Not Found");
  EXPECT_EQ(e.body(), "<html><meta charset=\"windows-1251\"><p>Нет</p></html>");
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(events.log,
            (std::vector<std::string>{"begin " + std::to_string(html.size()), "work", "end"}));
  // A protocol failure does not cost the connection.
  EXPECT_EQ(Failure([&] { client.GetText(server.Url("/again")); }).status(), 404);
  EXPECT_EQ(server.Connections(), 1);
}

struct EarlyEndCase {
  std::string name;
  std::string sent;  // what the server sends before ending the connection
  bool reset;        // RST instead of FIN
  HttpError::Kind kind;
  std::string streamHolds;
};

void PrintTo(const EarlyEndCase& c, std::ostream* os) {
  *os << c.name;
}

class HttpEarlyEnd : public ::testing::TestWithParam<EarlyEndCase> {};

TEST_P(HttpEarlyEnd, FailsAndKeepsWhatArrived) {
  const EarlyEndCase& c = GetParam();
#ifdef _WIN32
  // Under Wine the client reads a peer's reset as an orderly close.
  if (c.reset) GTEST_SKIP() << "a reset reads as a close under Wine";
#endif
  LoopbackServer server([&](LoopbackConnection& conn, int index) {
    conn.ReadRequest();
    if (index > 0) return conn.Send(Response("HTTP/1.1 200 OK", "next"));
    conn.Send(c.sent);
    conn.Sleep(milliseconds(30));
    if (c.reset) conn.Reset();
  });
  HttpClient client;
  Events events;
  events.Attach(client);
  std::ostringstream out;
  HttpError e = Failure([&] { client.GetToStream(server.Url("/f"), out); });
  EXPECT_EQ(e.kind(), c.kind) << e.what();
  if (c.kind == HttpError::Kind::ConnectionClosed) {
    EXPECT_STREQ(e.what(), "Connection Closed Gracefully.");
  }
  if (c.kind == HttpError::Kind::Transport) {
    EXPECT_EQ(e.socketError(), ECONNRESET);
    EXPECT_EQ(std::string(e.what()).rfind("Socket Error # ", 0), 0u) << e.what();
  }
  EXPECT_EQ(out.str(), c.streamHolds);
  if (!events.log.empty()) {
    EXPECT_EQ(events.log.back(), "end");
  }
  EXPECT_EQ(client.GetText(server.Url("/g")), "next");
}

const std::string kHead1000 = "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n";
INSTANTIATE_TEST_SUITE_P(
    Http, HttpEarlyEnd,
    ::testing::Values(
        EarlyEndCase{"ShortBodyThenClose", kHead1000 + std::string(600, 'a'), false,
                     HttpError::Kind::ConnectionClosed, std::string(600, 'a')},
        EarlyEndCase{"ShortBodyThenReset", kHead1000 + std::string(600, 'a'), true,
                     HttpError::Kind::Transport, std::string(600, 'a')},
        EarlyEndCase{"CloseInsideChunkedBody",
                     "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nA\r\n0123", false,
                     HttpError::Kind::ConnectionClosed, "0123"},
        EarlyEndCase{"ResetInsideChunkedBody",
                     "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nA\r\n0123", true,
                     HttpError::Kind::Transport, "0123"},
        EarlyEndCase{"ResetInsideBodyUntilClose", "HTTP/1.0 200 OK\r\n\r\nsome", true,
                     HttpError::Kind::Transport, "some"},
        EarlyEndCase{"CloseBeforeStatusLine", "", false, HttpError::Kind::ConnectionClosed, ""},
        EarlyEndCase{"CloseInsideHeaders", "HTTP/1.1 200 OK\r\nContent-Le", false,
                     HttpError::Kind::ConnectionClosed, ""},
        EarlyEndCase{"ResetBeforeStatusLine", "", true, HttpError::Kind::Transport, ""}),
    [](const auto& info) { return info.param.name; });

TEST(HttpFailure, LinesLongerThan16384Fail) {
  struct Case {
    std::string reply;
    bool fails;
  };
  const std::vector<Case> cases = {
      {"HTTP/1.1 200 OK\r\nX-Long: " + std::string(16384 - 8, 'h') +
           "\r\nContent-Length: 2\r\n\r\nok",
       false},
      {"HTTP/1.1 200 OK\r\nX-Long: " + std::string(16384 - 7, 'h') +
           "\r\nContent-Length: 2\r\n\r\nok",
       true},
      {"HTTP/1.1 200 OK\r\nX-Long: " + std::string(20000, 'h') + "\r\nContent-Length: 2\r\n\r\nok",
       true},
      {"HTTP/1.1 200 " + std::string(20000, 'r') + "\r\nContent-Length: 2\r\n\r\nok", true},
  };
  for (const Case& c : cases) {
    LoopbackServer server([&](LoopbackConnection& conn, int index) {
      conn.ReadRequest();
      conn.Send(index == 0 ? c.reply : Response("HTTP/1.1 200 OK", "ok"));
    });
    HttpClient client;
    if (!c.fails) {
      EXPECT_EQ(client.GetText(server.Url("/")), "ok");
      continue;
    }
    HttpError e = Failure([&] { client.GetText(server.Url("/")); });
    EXPECT_EQ(e.kind(), HttpError::Kind::MaxLineLength);
    EXPECT_STREQ(e.what(), "Max line length exceeded.");
    EXPECT_EQ(client.GetText(server.Url("/")), "ok");
  }
}

TEST(HttpFailure, RefusedConnectIsTransportFailure) {
  const int port = test::FreeLoopbackPort();  // nobody listens there now
  HttpClient client;
  HttpError e = Failure([&] { client.GetText("http://127.0.0.1:" + std::to_string(port) + "/"); });
  EXPECT_EQ(e.kind(), HttpError::Kind::Transport);
#ifdef _WIN32
  // Winsock's number for it (WSAECONNREFUSED), not the C library's.
  constexpr int kRefused = 10061;
#else
  constexpr int kRefused = ECONNREFUSED;
#endif
  EXPECT_EQ(e.socketError(), kRefused);
  const std::string head = "Socket Error # " + std::to_string(kRefused) + "\r\n";
#ifdef _WIN32
  EXPECT_EQ(std::string(e.what()), head + test::SystemText(kRefused));
#else
  EXPECT_EQ(std::string(e.what()), head + std::strerror(ECONNREFUSED));
#endif
}

TEST(HttpFailure, RefusingStreamAndThrowingHandlerFailTheGet) {
  LoopbackServer server(Always(Response("HTTP/1.1 200 OK", std::string(5000, 'z'))));
  HttpClient client;
  std::ostringstream refusing;
  refusing.setstate(std::ios::badbit);
  EXPECT_EQ(Failure([&] { client.GetToStream(server.Url("/"), refusing); }).kind(),
            HttpError::Kind::StreamWrite);

  client.Work = [](HttpClient&, HttpClient::WorkMode, std::int64_t) {
    throw std::logic_error("stop");
  };
  std::ostringstream out;
  EXPECT_THROW(client.GetToStream(server.Url("/"), out), std::logic_error);
  client.Work = nullptr;
  EXPECT_EQ(client.GetText(server.Url("/")), std::string(5000, 'z'));
}

TEST(HttpConnection, TenGetsShareOneConnection) {
  LoopbackServer server(Always(Response("HTTP/1.1 200 OK", "same")));
  HttpClient client;
  for (int i = 0; i < 10; ++i)
    EXPECT_EQ(client.GetText(server.Url("/" + std::to_string(i))), "same");
  EXPECT_EQ(server.Connections(), 1);
  EXPECT_EQ(server.Requests().size(), 10u);
}

TEST(HttpConnection, ConnectionCloseMakesTheNextGetReconnect) {
  LoopbackServer server([](LoopbackConnection& c, int index) {
    if (c.ReadRequest().empty()) return;
    if (index == 0) {
      // The client must not wait for a close that a keep-alive peer never sends.
      c.Send(Response("HTTP/1.1 200 OK", "first", "Connection: CLOSE\r\n"));
      c.WaitForClientClose(milliseconds(3000));
    } else {
      c.Send(Response("HTTP/1.1 200 OK", "second"));
    }
  });
  HttpClient client;
  EXPECT_EQ(client.GetText(server.Url("/1")), "first");
  EXPECT_EQ(client.GetText(server.Url("/2")), "second");
  EXPECT_EQ(server.Connections(), 2);
}

TEST(HttpConnection, IgnoresProxyEnvironment) {
  LoopbackServer server(Always(Response("HTTP/1.1 200 OK", "direct")));
  std::string text;
  {
    test::ScopedEnv proxy("http_proxy", "http://127.0.0.1:9");
    proxy.Set("HTTP_PROXY", "http://127.0.0.1:9");
    HttpClient client;
    text = client.GetText(server.Url("/"));
  }
  EXPECT_EQ(text, "direct");
}

TEST(HttpCookies, SetCookieIsSentBackOnLaterRequests) {
  LoopbackServer server([](LoopbackConnection& c, int) {
    c.ReadRequest();
    c.Send(Response("HTTP/1.1 200 OK", "a", "Set-Cookie: session=abc123; Path=/\r\n"));
    while (!c.ReadRequest().empty()) c.Send(Response("HTTP/1.1 200 OK", "b"));
  });
  HttpClient client;
  client.GetText(server.Url("/login"));
  client.GetText(server.Url("/files/list.xml"));
  auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].find("Cookie"), std::string::npos);
  const std::string& second = requests[1];
  EXPECT_EQ(second.rfind("GET /files/list.xml HTTP/1.1\r\nHost: 127.0.0.1:", 0), 0u) << second;
  EXPECT_NE(second.find("\r\nCookie: session=abc123\r\n"), std::string::npos) << second;
  EXPECT_NE(second.find(std::string("\r\n") + kAcceptLine), std::string::npos) << second;
  EXPECT_NE(second.find("\r\nUser-Agent: Mozilla/3.0 (compatible; Indy Library)\r\n"),
            std::string::npos);
  // Nothing but those four lines and the request line.
  EXPECT_EQ(std::count(second.begin(), second.end(), '\n'), 6) << second;
}

// A server that sends the head and 100 body bytes, then stalls until the client hangs up.
LoopbackServer::Script StallAfter100Bytes(std::promise<bool>* clientClosed) {
  return [clientClosed](LoopbackConnection& c, int index) {
    if (c.ReadRequest().empty()) return;
    if (index > 0) return c.Send(Response("HTTP/1.1 200 OK", "fresh"));
    c.Send("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + std::string(100, 'p'));
    clientClosed->set_value(c.WaitForClientClose(milliseconds(10000)));
  };
}

TEST(HttpDisconnect, FromAnotherThreadEndsAStalledGetAtOnce) {
  std::promise<bool> clientClosed;
  LoopbackServer server(StallAfter100Bytes(&clientClosed));
  HttpClient client;
  std::promise<void> firstBlock;
  client.Work = [&](HttpClient&, HttpClient::WorkMode, std::int64_t count) {
    if (count == 100) firstBlock.set_value();
  };
  std::ostringstream out;
  std::promise<std::chrono::steady_clock::time_point> failedAt;
  std::optional<HttpError> error;
  std::thread worker([&] {
    try {
      client.GetToStream(server.Url("/long.bin"), out);
    } catch (const HttpError& e) {
      error = e;
    }
    failedAt.set_value(std::chrono::steady_clock::now());
  });
  firstBlock.get_future().wait();
  std::this_thread::sleep_for(milliseconds(50));
  auto disconnectedAt = std::chrono::steady_clock::now();
  client.Disconnect();
  auto latency = failedAt.get_future().get() - disconnectedAt;
  worker.join();
  std::printf("Disconnect latency: %.3f ms\n",
              std::chrono::duration<double, std::milli>(latency).count());
  // Only that it beats the 30 s read time-out by far; the figure is printed above.
  EXPECT_LT(latency, std::chrono::seconds(5));
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->kind(), HttpError::Kind::ConnectionClosed);
  EXPECT_EQ(out.str(), std::string(100, 'p'));
  EXPECT_TRUE(clientClosed.get_future().get());
  client.Work = nullptr;
  EXPECT_EQ(client.GetText(server.Url("/again")), "fresh");
}

TEST(HttpDisconnect, IdleClientDisconnectClosesOrDoesNothing) {
  LoopbackServer server([](LoopbackConnection& c, int) {
    if (c.ReadRequest().empty()) return;
    c.Send(Response("HTTP/1.1 200 OK", "ok"));
    EXPECT_TRUE(c.WaitForClientClose(milliseconds(3000)));
  });
  HttpClient client;
  client.Disconnect();  // never connected: nothing happens
  EXPECT_EQ(client.GetText(server.Url("/1")), "ok");
  client.Disconnect();  // kept-alive connection is closed; the server's wait ends
  EXPECT_EQ(client.GetText(server.Url("/2")), "ok");
  EXPECT_EQ(server.Connections(), 2);
}

TEST(HttpTimeout, SilentServerEndsAsTransportFailure) {
  LoopbackServer server([](LoopbackConnection& c, int) {
    c.ReadRequest();
    c.WaitForClientClose(milliseconds(5000));
  });
  HttpClient client;
  client.SetTimeoutsForTest(milliseconds(1000), milliseconds(300));
  auto start = std::chrono::steady_clock::now();
  HttpError e = Failure([&] { client.GetText(server.Url("/")); });
  EXPECT_EQ(e.kind(), HttpError::Kind::Transport);
  EXPECT_EQ(e.socketError(), platform::SocketTimedOut());
  EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(3000));
}

// A slow line: each byte comes well within the idle limit, the whole body long after it.
TEST(HttpTimeout, BodyThatKeepsArrivingOutlastsTheIdleLimit) {
  const std::string body = "slow but steady";
  LoopbackServer server([&body](LoopbackConnection& c, int) {
    if (c.ReadRequest().empty()) return;
    c.Send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n");
    for (const char b : body) {
      c.Sleep(milliseconds(100));
      c.Send(std::string(1, b));
    }
  });
  HttpClient client;
  client.SetTimeoutsForTest(milliseconds(1000), milliseconds(300));
  std::string text;
  EXPECT_NO_THROW(text = client.GetText(server.Url("/slow")));
  EXPECT_EQ(text, body);
}

}  // namespace
}  // namespace kestrune
