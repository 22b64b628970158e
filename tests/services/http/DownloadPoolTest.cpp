// DownloadPool against scripted loopback servers: connections used and kept, bodies streamed
// into files, resume, retry and Disconnect.

#include "http/DownloadPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "ConcurrentServer.h"
#include "HttpTestSupport.h"
#include "NginxServer.h"
#include "Platform.h"
#include "Sockets.h"
#include "TestSupport.h"
#include "http/HttpClient.h"

#ifndef _WIN32
#include "ResourceLimit.h"
#endif

namespace kestrune {
namespace {

using std::chrono::milliseconds;
using test::ConcurrentServer;
using test::LoopbackConnection;
using test::Request;

// Hands out `jobs` in order and keeps every event as it came.
struct Recorder {
  std::vector<DownloadJob> jobs;
  std::size_t handedOut = 0;
  std::vector<std::string> log;  // "started 3", "finished 3"
  std::map<std::size_t, DownloadResult> results;
  std::vector<std::pair<std::int64_t, std::int64_t>> progress;

  DownloadPool::Events Events() {
    DownloadPool::Events e;
    e.next = [this]() -> DownloadPool::Next {
      if (handedOut == jobs.size()) return DownloadPool::NoMore{};
      return jobs[handedOut++];
    };
    e.started = [this](const DownloadJob& job) {
      log.push_back("started " + std::to_string(job.id));
    };
    e.progress = [this](std::int64_t received, std::int64_t expected) {
      progress.emplace_back(received, expected);
    };
    e.finished = [this](const DownloadJob& job, const DownloadResult& result) {
      EXPECT_EQ(job.id, result.id);
      log.push_back("finished " + std::to_string(job.id));
      EXPECT_TRUE(results.emplace(job.id, result).second) << "finished twice: " << job.id;
    };
    return e;
  }
};

std::string ErrorText(const std::exception_ptr& error) {
  if (!error) return "none";
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  }
}

HttpError::Kind KindOf(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const HttpError& e) {
    return e.kind();
  } catch (...) {
  }
  ADD_FAILURE() << "not an HttpError: " << ErrorText(error);
  return HttpError::Kind::Protocol;
}

bool Exists(const std::string& path) {
  return std::filesystem::exists(std::filesystem::symlink_status(path));
}

TEST(DownloadPoolConnections, TwentyJobsOverFourSlotsUseFourKeptConnections) {
  std::vector<std::string> bodies;
  for (unsigned i = 0; i < 20; ++i) bodies.push_back(test::Bytes(20000 + 7919 * i, i));
  std::atomic<int> inFlight{0};
  std::atomic<int> mostInFlight{0};
  ConcurrentServer server([&](LoopbackConnection& c, const Request& r) {
    int now = ++inFlight;
    for (int seen = mostInFlight; now > seen && !mostInFlight.compare_exchange_weak(seen, now);) {
    }
    // Long enough that the four first requests are all open at once.
    c.Sleep(milliseconds(50));
    --inFlight;
    const std::size_t i = std::stoul(r.path.substr(2));
    c.Send(test::FileAnswer(r, bodies[i], "\"v1\""));
    return true;
  });
  test::TempDir dir;
  Recorder run;
  for (std::size_t i = 0; i < bodies.size(); ++i)
    run.jobs.push_back(
        {i, server.Url("/f" + std::to_string(i)), dir.file("f" + std::to_string(i)), 0});

  DownloadPool pool(4);
  pool.Run(run.Events());

  EXPECT_EQ(server.Connections(), 4);
  EXPECT_EQ(mostInFlight.load(), 4);
  std::set<int> used;
  for (const Request& r : server.Requests()) used.insert(r.connection);
  EXPECT_EQ(used.size(), 4u);
  ASSERT_EQ(run.results.size(), bodies.size());
  for (std::size_t i = 0; i < bodies.size(); ++i) {
    const DownloadResult& result = run.results[i];
    EXPECT_FALSE(result.error) << ErrorText(result.error);
    EXPECT_EQ(result.attempts, 1);
    EXPECT_EQ(result.bytesReceived, static_cast<std::int64_t>(bodies[i].size()));
    EXPECT_EQ(test::ReadFile(run.jobs[i].path), bodies[i]) << i;
    EXPECT_FALSE(Exists(PartialPath(run.jobs[i].path)));
    EXPECT_FALSE(Exists(ResumeRecordPath(run.jobs[i].path)));
  }
  // Each job's events come in order: started, then finished once.
  for (std::size_t i = 0; i < bodies.size(); ++i) {
    auto started = std::find(run.log.begin(), run.log.end(), "started " + std::to_string(i));
    auto finished = std::find(run.log.begin(), run.log.end(), "finished " + std::to_string(i));
    EXPECT_LT(started, finished) << i;
  }
  ASSERT_FALSE(run.progress.empty());
  for (auto [received, expected] : run.progress) EXPECT_LE(received, expected);
}

TEST(DownloadPoolConnections, OneSlotFetchesOneAfterTheOtherOverOneConnection) {
  const std::string body = test::Bytes(100000, 3);
  ConcurrentServer server([&](LoopbackConnection& c, const Request& r) {
    c.Send(test::FileAnswer(r, body, "\"v1\""));
    return true;
  });
  test::TempDir dir;
  Recorder run;
  for (std::size_t i = 0; i < 5; ++i)
    run.jobs.push_back({i, server.Url("/f"), dir.file("f" + std::to_string(i)), 0});
  DownloadPool pool(1);
  pool.Run(run.Events());
  EXPECT_EQ(server.Connections(), 1);
  EXPECT_EQ(run.log, (std::vector<std::string>{"started 0", "finished 0", "started 1", "finished 1",
                                               "started 2", "finished 2", "started 3", "finished 3",
                                               "started 4", "finished 4"}));
  for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(test::ReadFile(run.jobs[i].path), body);
}

TEST(DownloadPoolConnections, LaterWaitsForWakeupThenServiceAndNextRunAgain) {
  ConcurrentServer server([&](LoopbackConnection& c, const Request& r) {
    c.Send(test::FileAnswer(r, "late body", "\"v1\""));
    return true;
  });
  test::TempDir dir;
  DownloadPool pool(2);
  std::atomic<bool> posted{false};
  bool handed = false;
  int services = 0;
  std::vector<std::string> finished;
  std::jthread poster;
  DownloadPool::Events e;
  e.service = [&] { ++services; };
  e.next = [&]() -> DownloadPool::Next {
    if (handed)
      return finished.empty() ? DownloadPool::Next{DownloadPool::Later{}}
                              : DownloadPool::Next{DownloadPool::NoMore{}};
    if (!posted) {
      if (!poster.joinable())
        poster = std::jthread([&] {
          std::this_thread::sleep_for(milliseconds(100));
          posted = true;
          pool.Wakeup();
        });
      return DownloadPool::Later{};
    }
    handed = true;
    return DownloadJob{7, server.Url("/late"), dir.file("late"), 0};
  };
  e.finished = [&](const DownloadJob& job, const DownloadResult& result) {
    EXPECT_FALSE(result.error) << ErrorText(result.error);
    finished.push_back(std::to_string(job.id));
  };
  const auto start = std::chrono::steady_clock::now();
  pool.Run(e);
  // Without the Wakeup the run would idle ten seconds before asking again.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(finished, std::vector<std::string>{"7"});
  EXPECT_GE(services, 2);
  EXPECT_EQ(test::ReadFile(dir.file("late")), "late body");
}

// Sends the head and `sent` bytes of `body`, then holds the connection until the client goes.
bool HoldAfter(LoopbackConnection& c, const std::string& body, std::size_t sent) {
  c.Send("HTTP/1.1 200 OK\r\nETag: \"v1\"\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body.substr(0, sent));
  c.WaitForClientClose(milliseconds(20000));
  return false;
}

TEST(DownloadPoolDisconnect, DuringATransferEndsRunAtOnceAndKeepsThePartial) {
  const std::string body = test::Bytes(200000, 5);
  ConcurrentServer server(
      [&](LoopbackConnection& c, const Request&) { return HoldAfter(c, body, 50000); });
  test::TempDir dir;
  DownloadPool pool(2);
  Recorder run;
  run.jobs = {{0, server.Url("/a"), dir.file("a"), 0}, {1, server.Url("/b"), dir.file("b"), 0}};
  std::promise<void> receiving;
  std::atomic<bool> told{false};
  auto events = run.Events();
  events.progress = [&](std::int64_t received, std::int64_t) {
    if (received >= 100000 && !told.exchange(true)) receiving.set_value();
  };
  std::jthread canceller([&, f = receiving.get_future()]() mutable {
    f.wait();
    pool.Disconnect();
  });
  const auto start = std::chrono::steady_clock::now();
  pool.Run(events);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  ASSERT_EQ(run.results.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(KindOf(run.results[i].error), HttpError::Kind::ConnectionClosed);
    EXPECT_EQ(test::ReadFile(PartialPath(run.jobs[i].path)), body.substr(0, 50000));
    EXPECT_TRUE(Exists(ResumeRecordPath(run.jobs[i].path)));
    EXPECT_FALSE(Exists(run.jobs[i].path));
  }
}

TEST(DownloadPoolDisconnect, AnEventThatThrowsEndsEveryTransferAndPropagates) {
  const std::string body = test::Bytes(200000, 6);
  std::atomic<bool> heldClosed{false};
  ConcurrentServer server([&](LoopbackConnection& c, const Request& r) {
    if (r.path == "/held") {
      c.Send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
             body.substr(0, 1000));
      heldClosed = c.WaitForClientClose(milliseconds(20000));
      return false;
    }
    c.Send(test::FileAnswer(r, "quick", "\"v1\""));
    return true;
  });
  test::TempDir dir;
  DownloadPool pool(2);
  Recorder run;
  run.jobs = {{0, server.Url("/held"), dir.file("held"), 0},
              {1, server.Url("/quick"), dir.file("quick"), 0}};
  auto events = run.Events();
  events.finished = [](const DownloadJob&, const DownloadResult&) {
    throw std::runtime_error("from the caller");
  };
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(pool.Run(events), std::runtime_error);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  // The held transfer was ended with the run: its connection is closed.
  for (int i = 0; i < 250 && !heldClosed; ++i) std::this_thread::sleep_for(milliseconds(20));
  EXPECT_TRUE(heldClosed);
  EXPECT_TRUE(Exists(PartialPath(run.jobs[0].path)));
  // The pool is usable again.
  Recorder again;
  again.jobs = {{2, server.Url("/quick"), dir.file("again"), 0}};
  pool.Run(again.Events());
  EXPECT_EQ(test::ReadFile(dir.file("again")), "quick");
}

TEST(DownloadPoolDisconnect, ALongBodyHasItsRecordAtOnceAShortOneWhenItFails) {
  const std::string longBody = test::Bytes(2 << 20, 7);
  const std::string shortBody = test::Bytes(100000, 8);
  ConcurrentServer server([&](LoopbackConnection& c, const Request& r) {
    return HoldAfter(c, r.path == "/long" ? longBody : shortBody, 1000);
  });
  test::TempDir dir;
  DownloadPool pool(2);
  Recorder run;
  run.jobs = {{0, server.Url("/long"), dir.file("long"), 0},
              {1, server.Url("/short"), dir.file("short"), 0}};
  auto events = run.Events();
  std::optional<std::pair<bool, bool>> whileRunning;
  events.progress = [&](std::int64_t received, std::int64_t) {
    if (received < 2000 || whileRunning) return;
    whileRunning.emplace(Exists(ResumeRecordPath(run.jobs[0].path)),
                         Exists(ResumeRecordPath(run.jobs[1].path)));
    pool.Disconnect();
  };
  pool.Run(events);
  ASSERT_TRUE(whileRunning);
  EXPECT_TRUE(whileRunning->first);
  EXPECT_FALSE(whileRunning->second);
  for (const DownloadJob& job : run.jobs) {
    EXPECT_EQ(test::ReadFile(ResumeRecordPath(job.path)).substr(0, 18), "kestrune-resume 1\n");
    EXPECT_EQ(std::filesystem::file_size(PartialPath(job.path)), 1000u);
  }
}

TEST(DownloadPoolDisconnect, BeforeRunMakesTheNextRunEndAtOnce) {
  DownloadPool pool(2);
  pool.Disconnect();
  int asked = 0;
  DownloadPool::Events e;
  e.next = [&]() -> DownloadPool::Next {
    ++asked;
    return DownloadPool::NoMore{};
  };
  pool.Run(e);
  EXPECT_EQ(asked, 0);
  // Only that one: the run after asks again.
  pool.Run(e);
  EXPECT_EQ(asked, 1);
}

// The record an earlier run leaves beside a partial, written here by hand.
void WriteRecord(const std::string& path, const std::string& url, const std::string& validator,
                 std::size_t length) {
  test::WriteFile(ResumeRecordPath(path), "kestrune-resume 1\nurl " + url + "\nvalidator " +
                                              validator + "\nlength " + std::to_string(length) +
                                              "\n");
}

DownloadResult RunOne(DownloadPool& pool, const DownloadJob& job) {
  Recorder run;
  run.jobs = {job};
  pool.Run(run.Events());
  EXPECT_EQ(run.results.size(), 1u);
  return run.results[job.id];
}

class DownloadPoolResume : public ::testing::Test {
 protected:
  void SetUp() override { pool.SetRetryPausesForTest({milliseconds(10)}); }
  const std::string body = test::Bytes(300000, 11);
  const std::size_t cut = 180000;  // 60 %
  test::TempDir dir;
  DownloadPool pool{1};
};

TEST_F(DownloadPoolResume, CutTransferIsRetriedWithRangeAndTheRestAppended) {
  ConcurrentServer server([&](LoopbackConnection& c, const Request& r) {
    if (r.connection == 0) {
      c.Send("HTTP/1.1 200 OK\r\nETag: \"v1\"\r\nContent-Length: " + std::to_string(body.size()) +
             "\r\n\r\n" + body.substr(0, cut));
      return false;
    }
    c.Send(test::FileAnswer(r, body, "\"v1\""));
    return true;
  });
  const DownloadJob job{0, server.Url("/big"), dir.file("big"), 0};
  DownloadResult result = RunOne(pool, job);
  EXPECT_FALSE(result.error) << ErrorText(result.error);
  EXPECT_EQ(result.attempts, 2);
  EXPECT_EQ(result.resumedFrom, static_cast<std::int64_t>(cut));
  EXPECT_EQ(result.bytesReceived, static_cast<std::int64_t>(body.size()));
  auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].range, "");
  EXPECT_EQ(requests[1].range, "bytes=" + std::to_string(cut) + "-");
  EXPECT_EQ(requests[1].ifRange, "\"v1\"");
  EXPECT_EQ(test::ReadFile(job.path), body);
  EXPECT_FALSE(Exists(PartialPath(job.path)));
  EXPECT_FALSE(Exists(ResumeRecordPath(job.path)));
}

TEST_F(DownloadPoolResume, PartialOfAnEarlierRunIsContinuedByLastModified) {
  const std::string date = "Tue, 08 Dec 2026 10:00:00 GMT";
  ConcurrentServer server([&](LoopbackConnection& c, const Request& r) {
    EXPECT_EQ(r.ifRange, date);
    c.Send(test::Response("HTTP/1.1 206 Partial Content", body.substr(cut),
                          "Content-Range: bytes " + std::to_string(cut) + "-" +
                              std::to_string(body.size() - 1) + "/" + std::to_string(body.size()) +
                              "\r\n"));
    return true;
  });
  const DownloadJob job{0, server.Url("/big"), dir.file("big"), 0};
  test::WriteFile(PartialPath(job.path), body.substr(0, cut));
  WriteRecord(job.path, job.url, date, body.size());
  DownloadResult result = RunOne(pool, job);
  EXPECT_FALSE(result.error) << ErrorText(result.error);
  EXPECT_EQ(result.resumedFrom, static_cast<std::int64_t>(cut));
  EXPECT_EQ(result.bytesReceived, static_cast<std::int64_t>(body.size() - cut));
  ASSERT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(server.Requests()[0].range, "bytes=" + std::to_string(cut) + "-");
  EXPECT_EQ(test::ReadFile(job.path), body);
}

// A partial and a record that are of no use: the job asks for the whole body at once.
struct StartOverCase {
  std::string name;
  // Leaves the partial (of `cut` bytes of stale content) and its record beside `path`.
  std::function<void(const std::string& path, const std::string& url, std::size_t length,
                     const std::string& elsewhere)>
      prepare;
  bool elsewhereMustStay = false;  // the partial is a link to `elsewhere`, never written
};

void PrintTo(const StartOverCase& c, std::ostream* os) {
  *os << c.name;
}

class DownloadPoolStartOver : public ::testing::TestWithParam<StartOverCase> {};

const std::string kStale = test::Bytes(180000, 99);

TEST_P(DownloadPoolStartOver, RequestsTheWholeBodyAndLeavesNoStaleByte) {
  const std::string body = test::Bytes(300000, 12);
  ConcurrentServer server([&](LoopbackConnection& c, const Request& r) {
    c.Send(test::FileAnswer(r, body, "\"v1\""));
    return true;
  });
  test::TempDir dir;
  const DownloadJob job{0, server.Url("/big"), dir.file("big"), 0};
  const std::string elsewhere = dir.file("elsewhere");
  test::WriteFile(elsewhere, kStale);
  GetParam().prepare(job.path, job.url, body.size(), elsewhere);
  DownloadPool pool(1);
  DownloadResult result = RunOne(pool, job);
  EXPECT_FALSE(result.error) << ErrorText(result.error);
  EXPECT_EQ(result.resumedFrom, 0);
  ASSERT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(server.Requests()[0].range, "");
  EXPECT_EQ(server.Requests()[0].ifRange, "");
  EXPECT_EQ(test::ReadFile(job.path), body);
  EXPECT_EQ(test::ReadFile(elsewhere), kStale);
  EXPECT_FALSE(std::filesystem::is_symlink(job.path));
}

const StartOverCase kStartOverCases[] = {
    StartOverCase{"NoRecord",
                  [](const std::string& path, const std::string&, std::size_t, const std::string&) {
                    test::WriteFile(PartialPath(path), kStale);
                  }},
    StartOverCase{"OtherUrl",
                  [](const std::string& path, const std::string& url, std::size_t length,
                     const std::string&) {
                    test::WriteFile(PartialPath(path), kStale);
                    WriteRecord(path, url + "x", "\"v1\"", length);
                  }},
    StartOverCase{"DamagedRecord",
                  [](const std::string& path, const std::string& url, std::size_t length,
                     const std::string&) {
                    test::WriteFile(PartialPath(path), kStale);
                    WriteRecord(path, url, "\"v1\"", length);
                    std::string bytes = test::ReadFile(ResumeRecordPath(path));
                    test::WriteFile(ResumeRecordPath(path), bytes.substr(0, bytes.size() - 3));
                  }},
    StartOverCase{"WeakTagInRecord",
                  [](const std::string& path, const std::string& url, std::size_t length,
                     const std::string&) {
                    test::WriteFile(PartialPath(path), kStale);
                    WriteRecord(path, url, "W/\"v1\"", length);
                  }},
    StartOverCase{
        "PartialLargerThanRecord",
        [](const std::string& path, const std::string& url, std::size_t, const std::string&) {
          test::WriteFile(PartialPath(path), kStale);
          WriteRecord(path, url, "\"v1\"", kStale.size() - 1);
        }},
#ifndef _WIN32
    StartOverCase{"PartialIsASymlink",
                  [](const std::string& path, const std::string& url, std::size_t length,
                     const std::string& elsewhere) {
                    std::filesystem::create_symlink(elsewhere, PartialPath(path));
                    WriteRecord(path, url, "\"v1\"", length);
                  },
                  true},
#endif
    StartOverCase{"PartialIsAHardLink",
                  [](const std::string& path, const std::string& url, std::size_t length,
                     const std::string& elsewhere) {
                    std::filesystem::create_hard_link(elsewhere, PartialPath(path));
                    WriteRecord(path, url, "\"v1\"", length);
                  },
                  true},
};

INSTANTIATE_TEST_SUITE_P(Partials, DownloadPoolStartOver, ::testing::ValuesIn(kStartOverCases),
                         [](const auto& info) { return info.param.name; });

// Answers that refuse to continue the partial, after a request that asked to.
struct RefusalCase {
  std::string name;
  std::function<std::string(const Request&, const std::string& body, std::size_t cut)> answer;
};

void PrintTo(const RefusalCase& c, std::ostream* os) {
  *os << c.name;
}

class DownloadPoolRefusedRange : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(DownloadPoolRefusedRange, RestartsCleanAndEndsWithTheWholeBody) {
  const std::string body = test::Bytes(300000, 13);
  const std::size_t cut = 180000;
  ConcurrentServer server([&](LoopbackConnection& c, const Request& r) {
    if (!r.range.empty()) {
      c.Send(GetParam().answer(r, body, cut));
    } else {
      c.Send(test::FileAnswer(r, body, "\"v2\""));
    }
    return true;
  });
  test::TempDir dir;
  const DownloadJob job{0, server.Url("/big"), dir.file("big"), 0};
  test::WriteFile(PartialPath(job.path), kStale);
  WriteRecord(job.path, job.url, "\"v1\"", body.size());
  DownloadPool pool(1);
  DownloadResult result = RunOne(pool, job);
  EXPECT_FALSE(result.error) << ErrorText(result.error);
  EXPECT_EQ(result.resumedFrom, 0);
  ASSERT_GE(server.Requests().size(), 1u);
  EXPECT_EQ(server.Requests()[0].range, "bytes=180000-");
  EXPECT_EQ(server.Requests()[0].ifRange, "\"v1\"");
  EXPECT_EQ(test::ReadFile(job.path), body);
  EXPECT_FALSE(Exists(ResumeRecordPath(job.path)));
}

std::string Partial(const std::string& body, std::size_t from, std::size_t to, std::size_t of) {
  return test::Response("HTTP/1.1 206 Partial Content", body.substr(from, to - from + 1),
                        "Content-Range: bytes " + std::to_string(from) + "-" + std::to_string(to) +
                            "/" + std::to_string(of) + "\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Answers, DownloadPoolRefusedRange,
    ::testing::Values(
        // The server ignores Range, or the validator changed: the whole body comes as a 200.
        RefusalCase{"WholeBodyIgnoringRange",
                    [](const Request& r, const std::string& body, std::size_t) {
                      return test::FileAnswer(r, body, "\"v2\"", false);
                    }},
        RefusalCase{"ValidatorChanged",
                    [](const Request& r, const std::string& body, std::size_t) {
                      return test::FileAnswer(r, body, "\"v2\"");
                    }},
        RefusalCase{"RangeFromElsewhere",
                    [](const Request&, const std::string& body, std::size_t cut) {
                      return Partial(body, cut - 1, body.size() - 1, body.size());
                    }},
        RefusalCase{"RangeShortOfTheEnd",
                    [](const Request&, const std::string& body, std::size_t cut) {
                      return Partial(body, cut, body.size() - 2, body.size());
                    }},
        RefusalCase{"OtherCompleteLength",
                    [](const Request&, const std::string& body, std::size_t cut) {
                      return Partial(body + "x", cut, body.size(), body.size() + 1);
                    }},
        RefusalCase{"UnknownCompleteLength",
                    [](const Request&, const std::string& body, std::size_t cut) {
                      return test::Response("HTTP/1.1 206 Partial Content", body.substr(cut),
                                            "Content-Range: bytes " + std::to_string(cut) + "-" +
                                                std::to_string(body.size() - 1) + "/*\r\n");
                    }},
        RefusalCase{"NoContentRange",
                    [](const Request&, const std::string& body, std::size_t cut) {
                      return test::Response("HTTP/1.1 206 Partial Content", body.substr(cut));
                    }},
        RefusalCase{"NotSatisfiable",
                    [](const Request&, const std::string& body, std::size_t) {
                      return test::Response(
                          "HTTP/1.1 416 Range Not Satisfiable", "",
                          "Content-Range: bytes */" + std::to_string(body.size()) + "\r\n");
                    }}),
    [](const auto& info) { return info.param.name; });

TEST_F(DownloadPoolResume, MaxBodySizeBoundsKeptAndNewBytesTogether) {
  ConcurrentServer server([&](LoopbackConnection& c, const Request& r) {
    c.Send(test::FileAnswer(r, body, "\"v1\""));
    return true;
  });
  const DownloadJob job{0, server.Url("/big"), dir.file("big"),
                        static_cast<std::int64_t>(body.size() - 1)};
  test::WriteFile(PartialPath(job.path), body.substr(0, cut));
  WriteRecord(job.path, job.url, "\"v1\"", body.size());
  DownloadResult result = RunOne(pool, job);
  EXPECT_EQ(KindOf(result.error), HttpError::Kind::MaxBodySize);
  EXPECT_EQ(result.attempts, 1);
  ASSERT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(server.Requests()[0].range, "bytes=" + std::to_string(cut) + "-");
  EXPECT_FALSE(Exists(job.path));
  // Nothing past the bound was written.
  EXPECT_EQ(test::ReadFile(PartialPath(job.path)), body.substr(0, cut));
}

TEST_F(DownloadPoolResume, MaxBodySizeOfTheWholeBodyStillFits) {
  ConcurrentServer server([&](LoopbackConnection& c, const Request& r) {
    c.Send(test::FileAnswer(r, body, "\"v1\""));
    return true;
  });
  const DownloadJob job{0, server.Url("/big"), dir.file("big"),
                        static_cast<std::int64_t>(body.size())};
  test::WriteFile(PartialPath(job.path), body.substr(0, cut));
  WriteRecord(job.path, job.url, "\"v1\"", body.size());
  DownloadResult result = RunOne(pool, job);
  EXPECT_FALSE(result.error) << ErrorText(result.error);
  EXPECT_EQ(test::ReadFile(job.path), body);
}

// What the first answer to a job is, and whether the job asks again.
struct FirstAnswerCase {
  std::string name;
  std::function<bool(LoopbackConnection&)> answer;  // as a handler: false closes
  bool retried = false;
  HttpError::Kind kind = HttpError::Kind::Protocol;  // of the failure when not retried
  int status = 0;
};

void PrintTo(const FirstAnswerCase& c, std::ostream* os) {
  *os << c.name;
}

class DownloadPoolRetry : public ::testing::TestWithParam<FirstAnswerCase> {};

TEST_P(DownloadPoolRetry, RetriesTransportFailuresAndServerErrorsOnly) {
  const FirstAnswerCase& param = GetParam();
  const std::string body = test::Bytes(50000, 21);
  std::atomic<int> requests{0};
  ConcurrentServer server([&](LoopbackConnection& c, const Request& r) {
    if (requests++ == 0) return param.answer(c);
    c.Send(test::FileAnswer(r, body, "\"v1\""));
    return true;
  });
  test::TempDir dir;
  DownloadPool pool(2);
  pool.SetRetryPausesForTest({milliseconds(10)});
  pool.SetTimeoutsForTest(std::chrono::seconds(5), milliseconds(300));
  const DownloadJob job{0, server.Url("/f"), dir.file("f"), 100000};
  DownloadResult result = RunOne(pool, job);
  if (param.retried) {
    EXPECT_FALSE(result.error) << ErrorText(result.error);
    EXPECT_EQ(result.attempts, 2);
    EXPECT_EQ(server.Requests().size(), 2u);
    EXPECT_EQ(test::ReadFile(job.path), body);
  } else {
    ASSERT_TRUE(result.error);
    EXPECT_EQ(KindOf(result.error), param.kind) << ErrorText(result.error);
    try {
      std::rethrow_exception(result.error);
    } catch (const HttpError& e) {
      EXPECT_EQ(e.status(), param.status);
    }
    EXPECT_EQ(result.attempts, 1);
    EXPECT_EQ(server.Requests().size(), 1u);
    EXPECT_FALSE(Exists(job.path));
  }
}

bool Send(LoopbackConnection& c, const std::string& bytes) {
  c.Send(bytes);
  return true;
}

INSTANTIATE_TEST_SUITE_P(
    Answers, DownloadPoolRetry,
    ::testing::Values(
        FirstAnswerCase{"ServiceUnavailable",
                        [](LoopbackConnection& c) {
                          return Send(c,
                                      test::Response("HTTP/1.1 503 Service Unavailable", "busy"));
                        },
                        true},
        FirstAnswerCase{"InternalServerError",
                        [](LoopbackConnection& c) {
                          return Send(c, test::Response("HTTP/1.1 500 Internal Server Error", ""));
                        },
                        true},
        FirstAnswerCase{"ResetBeforeTheHead",
                        [](LoopbackConnection& c) {
                          c.Reset();
                          return false;
                        },
                        true},
        FirstAnswerCase{"ClosedWithoutAnswer", [](LoopbackConnection&) { return false; }, true},
        FirstAnswerCase{"StalledPastTheIdleLimit",
                        [](LoopbackConnection& c) {
                          c.Send("HTTP/1.1 200 OK\r\nContent-Length: 50000\r\n\r\nabc");
                          c.WaitForClientClose(milliseconds(20000));
                          return false;
                        },
                        true},
        FirstAnswerCase{"NotFound",
                        [](LoopbackConnection& c) {
                          return Send(c, test::Response("HTTP/1.1 404 Not Found", "gone"));
                        },
                        false, HttpError::Kind::Protocol, 404},
        FirstAnswerCase{"Forbidden",
                        [](LoopbackConnection& c) {
                          return Send(c, test::Response("HTTP/1.1 403 Forbidden", ""));
                        },
                        false, HttpError::Kind::Protocol, 403},
        FirstAnswerCase{"AnnouncedTooLarge",
                        [](LoopbackConnection& c) {
                          return Send(c, "HTTP/1.1 200 OK\r\nContent-Length: 999999999\r\n\r\n");
                        },
                        false, HttpError::Kind::MaxBodySize, 0}),
    [](const auto& info) { return info.param.name; });

TEST(DownloadPoolRetryBound, GivesUpAfterTheLastRetryWithTheLastFailure) {
  ConcurrentServer server([&](LoopbackConnection& c, const Request&) {
    c.Send(test::Response("HTTP/1.1 502 Bad Gateway", ""));
    return true;
  });
  test::TempDir dir;
  DownloadPool pool(1);
  pool.SetRetryPausesForTest({milliseconds(1), milliseconds(2), milliseconds(3)});
  DownloadResult result = RunOne(pool, {0, server.Url("/f"), dir.file("f"), 0});
  EXPECT_EQ(result.attempts, DownloadPool::kRetries + 1);
  EXPECT_EQ(server.Requests().size(), static_cast<std::size_t>(DownloadPool::kRetries + 1));
  EXPECT_EQ(KindOf(result.error), HttpError::Kind::Protocol);
}

#ifndef _WIN32
// A refused write comes from a lowered RLIMIT_FSIZE, which Windows does not have.
TEST(DownloadPoolRetryBound, AWriteFailureIsNotRetried) {
  const std::string body = test::Bytes(300000, 22);
  ConcurrentServer server([&](LoopbackConnection& c, const Request& r) {
    c.Send(test::FileAnswer(r, body, "\"v1\""));
    return true;
  });
  test::TempDir dir;
  DownloadPool pool(1);
  pool.SetRetryPausesForTest({milliseconds(1)});
  DownloadResult result;
  {
    test::ResourceLimit limit(RLIMIT_FSIZE, 100000);
    result = RunOne(pool, {0, server.Url("/f"), dir.file("f"), 0});
  }
  ASSERT_TRUE(result.error);
  EXPECT_THROW(std::rethrow_exception(result.error), platform::SystemError);
  EXPECT_EQ(result.attempts, 1);
  EXPECT_EQ(server.Requests().size(), 1u);
}
#endif

TEST(DownloadPoolRetryBound, OtherSlotsWorkOnWhileOnePauses) {
  ConcurrentServer server([&](LoopbackConnection& c, const Request& r) {
    if (r.path == "/busy")
      c.Send(test::Response("HTTP/1.1 503 Service Unavailable", ""));
    else
      c.Send(test::FileAnswer(r, "small " + r.path, "\"v1\""));
    return true;
  });
  test::TempDir dir;
  DownloadPool pool(2);
  pool.SetRetryPausesForTest({milliseconds(300)});
  Recorder run;
  run.jobs.push_back({0, server.Url("/busy"), dir.file("busy"), 0});
  for (std::size_t i = 1; i <= 6; ++i)
    run.jobs.push_back(
        {i, server.Url("/s" + std::to_string(i)), dir.file("s" + std::to_string(i)), 0});
  pool.Run(run.Events());
  ASSERT_EQ(run.results.size(), 7u);
  EXPECT_EQ(run.log.back(), "finished 0");
  for (std::size_t i = 1; i <= 6; ++i) {
    EXPECT_FALSE(run.results[i].error);
    EXPECT_EQ(test::ReadFile(run.jobs[i].path), "small /s" + std::to_string(i));
  }
  EXPECT_EQ(run.results[0].attempts, DownloadPool::kRetries + 1);
}

TEST(DownloadPoolDisconnect, DuringAPauseEndsRunAtOnceAndKeepsThePartial) {
  const std::string body = test::Bytes(200000, 23);
  std::promise<void> cut;
  ConcurrentServer server([&](LoopbackConnection& c, const Request&) {
    c.Send("HTTP/1.1 200 OK\r\nETag: \"v1\"\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body.substr(0, 70000));
    cut.set_value();
    return false;
  });
  test::TempDir dir;
  DownloadPool pool(2);
  pool.SetRetryPausesForTest({std::chrono::seconds(60)});
  std::jthread canceller([&, f = cut.get_future()]() mutable {
    f.wait();
    // Long enough for the pool to see the close and begin its pause.
    std::this_thread::sleep_for(milliseconds(200));
    pool.Disconnect();
  });
  const DownloadJob job{0, server.Url("/f"), dir.file("f"), 0};
  const auto start = std::chrono::steady_clock::now();
  DownloadResult result = RunOne(pool, job);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(KindOf(result.error), HttpError::Kind::ConnectionClosed);
  EXPECT_EQ(result.attempts, 1);
  EXPECT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(test::ReadFile(PartialPath(job.path)), body.substr(0, 70000));
  EXPECT_TRUE(Exists(ResumeRecordPath(job.path)));
}

// Hostile or failing answers, the same on every connection: the pool ends each job with the
// very failure HttpClient raises for the same answer.
struct SameFailureCase {
  std::string name;
  std::string answer;  // "" closes the connection without a word
};

void PrintTo(const SameFailureCase& c, std::ostream* os) {
  *os << c.name;
}

class DownloadPoolSameFailure : public ::testing::TestWithParam<SameFailureCase> {};

TEST_P(DownloadPoolSameFailure, AsHttpClientRaisesIt) {
  const std::string answer = GetParam().answer;
  ConcurrentServer server([&](LoopbackConnection& c, const Request&) {
    if (answer.empty()) return false;
    c.Send(answer);
    return false;
  });
  HttpClient client;
  client.MaxBodySize = 1000;
  HttpError expected = test::Failure([&] {
    std::ostringstream out;
    client.GetToStream(server.Url("/f"), out);
  });

  test::TempDir dir;
  DownloadPool pool(1);
  pool.SetRetryPausesForTest({milliseconds(1)});
  DownloadResult result = RunOne(pool, {0, server.Url("/f"), dir.file("f"), 1000});
  ASSERT_TRUE(result.error);
  try {
    std::rethrow_exception(result.error);
  } catch (const HttpError& e) {
    EXPECT_EQ(e.kind(), expected.kind());
    EXPECT_STREQ(e.what(), expected.what());
    EXPECT_EQ(e.status(), expected.status());
    EXPECT_EQ(e.body(), expected.body());
    EXPECT_EQ(e.socketError(), expected.socketError());
  } catch (...) {
    ADD_FAILURE() << "not an HttpError: " << ErrorText(result.error);
  }
  EXPECT_FALSE(Exists(dir.file("f")));
}

INSTANTIATE_TEST_SUITE_P(
    Answers, DownloadPoolSameFailure,
    ::testing::Values(
        SameFailureCase{"SwitchingProtocols",
                        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n"},
        SameFailureCase{"OverlongHeaderLine",
                        "HTTP/1.1 200 OK\r\nX-Long: " + std::string(20000, 'a') + "\r\n\r\n"},
        SameFailureCase{"BrokenChunk",
                        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nabc\r\n"},
        SameFailureCase{"ChunkedPastTheBound",
                        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n7d0\r\n" +
                            std::string(2000, 'x') + "\r\n0\r\n\r\n"},
        SameFailureCase{"AnnouncedPastTheBound", "HTTP/1.1 200 OK\r\nContent-Length: 1001\r\n\r\n"},
        SameFailureCase{"NotHttp", "SSH-2.0-OpenSSH_9.2\r\n"},
        SameFailureCase{"CutHead", "HTTP/1.1 200 OK\r\nContent-Le"},
        SameFailureCase{"CutBody", "HTTP/1.1 200 OK\r\nContent-Length: 500\r\n\r\nabc"},
        SameFailureCase{"ClosedAtOnce", ""},
        SameFailureCase{"NotFoundWithBody", test::Response("HTTP/1.1 404 Not Found", "<p>gone</p>",
                                                           "Content-Type: text/html\r\n")},
        SameFailureCase{"ServerErrorEveryTime",
                        test::Response("HTTP/1.1 503 Service Unavailable", "later")}),
    [](const auto& info) { return info.param.name; });

// Passes one request on to 127.0.0.1:port with "Connection: close" and sends back the answer:
// all of it, or the head and the first `cut` body bytes, and then closes.
bool Relay(LoopbackConnection& c, const Request& r, int port, std::optional<std::size_t> cut) {
  const test::SocketHandle fd = test::OpenTcpSocket();
  const sockaddr_in addr = test::LoopbackAddress(port);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    test::CloseSocket(fd);
    return false;
  }
  const std::string request = r.raw.substr(0, r.raw.size() - 2) + "Connection: close\r\n\r\n";
  test::SendSome(fd, request.data(), request.size());
  std::string answer;
  char buffer[65536];
  for (long n; (n = test::ReceiveSome(fd, buffer, sizeof buffer)) > 0;)
    answer.append(buffer, static_cast<std::size_t>(n));
  test::CloseSocket(fd);
  if (cut) answer.resize(std::min(answer.size(), answer.find("\r\n\r\n") + 4 + *cut));
  c.Send(answer);
  return false;
}

TEST(DownloadPoolNginx, TransferCutAtSixtyPercentFetchesOnlyTheRest) {
  test::TempDir dir;
  std::filesystem::create_directory(dir.path() / "www");
  const std::string body = test::Bytes(4 << 20, 31);
  test::WriteFile(dir.file("www/big.lzma"), body);
  const std::string log = dir.file("access.log");
  test::NginxServer nginx(
      dir.path(),
      {.root = dir.path() / "www",
       .serverDirectives = "    access_log " + test::HostPath(log) + " resume;",
       .httpDirectives = "  log_format resume '$status $body_bytes_sent \"$http_range\" "
                         "\"$http_if_range\"';"});
  ASSERT_TRUE(nginx.running()) << "nginx did not start";
  const std::size_t cut = body.size() * 6 / 10;
  // Between the pool and nginx: the first connection breaks off after 60 % of the body.
  ConcurrentServer proxy([&](LoopbackConnection& c, const Request& r) {
    return Relay(c, r, nginx.port(),
                 r.connection == 0 ? std::optional<std::size_t>(cut) : std::nullopt);
  });

  DownloadPool pool(2);
  pool.SetRetryPausesForTest({milliseconds(10)});
  const DownloadJob job{0, proxy.Url("/big.lzma"), dir.file("big.lzma"),
                        static_cast<std::int64_t>(body.size())};
  DownloadResult result = RunOne(pool, job);
  EXPECT_FALSE(result.error) << ErrorText(result.error);
  EXPECT_EQ(result.attempts, 2);
  EXPECT_EQ(result.resumedFrom, static_cast<std::int64_t>(cut));
  EXPECT_EQ(result.bytesReceived, static_cast<std::int64_t>(body.size()));
  EXPECT_TRUE(test::ReadFile(job.path) == body);

  // nginx writes its log line once the answer is out; give it a moment.
  std::string lines;
  for (int i = 0; i < 100; ++i) {
    lines = std::filesystem::exists(log) ? test::ReadFile(log) : "";
    if (std::count(lines.begin(), lines.end(), '\n') >= 2) break;
    std::this_thread::sleep_for(milliseconds(20));
  }
  std::istringstream in(lines);
  std::string first, second, extra;
  std::getline(in, first);
  std::getline(in, second);
  EXPECT_EQ(first.substr(0, 4), "200 ") << lines;
  // The second request asked for the rest, by nginx's own tag, and got only that.
  EXPECT_EQ(second.substr(0, second.find(" \"")), "206 " + std::to_string(body.size() - cut))
      << lines;
  EXPECT_NE(second.find("\"bytes=" + std::to_string(cut) + "-\""), std::string::npos) << lines;
  EXPECT_EQ(second.find("\"-\"", second.find("bytes=")), std::string::npos)
      << "no If-Range: " << lines;
  EXPECT_FALSE(std::getline(in, extra)) << lines;
}

}  // namespace
}  // namespace kestrune
