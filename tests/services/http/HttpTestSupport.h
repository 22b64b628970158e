#pragma once
// Helpers of the wire-level HttpClient tests.

#include <gtest/gtest.h>

#include <string>

#include "LoopbackServer.h"
#include "http/HttpError.h"

namespace kestrune::test {

// Runs `call` and returns the HttpError it throws; fails the test when it throws none.
template <typename Call>
HttpError Failure(Call&& call) {
  try {
    call();
  } catch (const HttpError& e) {
    return e;
  }
  ADD_FAILURE() << "no HttpError thrown";
  return HttpError(HttpError::Kind::Protocol, "none");
}

// Serves every request on a connection with `reply` until the client closes.
inline LoopbackServer::Script Always(std::string reply) {
  return [reply](LoopbackConnection& c, int) {
    while (!c.ReadRequest().empty()) c.Send(reply);
  };
}

}  // namespace kestrune::test
