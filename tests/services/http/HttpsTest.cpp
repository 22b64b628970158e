// https against a real nginx on loopback, with a CA and server certificate made at test time.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <sstream>

#include "NginxServer.h"
#include "TestSupport.h"
#include "http/HttpClient.h"

namespace kestrune {
namespace {

void Shell(const std::string& command) {
  ASSERT_EQ(test::CommandStatus(command), 0) << command;
}

class HttpsNginx : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::make_unique<test::TempDir>();
    const std::string d = test::HostPath(dir_->path());
    auto file = [&](const char* name) { return dir_->file(name); };
    test::WriteFile(file("server.ext"),
                    "subjectAltName=DNS:localhost\nbasicConstraints=CA:FALSE\n"
                    "extendedKeyUsage=serverAuth\n");
    const std::string ec = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    const std::string caExt =
        " -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign";
    Shell("cd " + d + " && openssl req -x509 " + ec +
          " -keyout ca.key -out ca.crt -days 2 -subj /CN=KestruneTestCA" + caExt);
    Shell("cd " + d + " && openssl req -x509 " + ec +
          " -keyout other.key -out other.crt -days 2 -subj /CN=OtherCA" + caExt);
    Shell("cd " + d + " && openssl req " + ec +
          " -keyout server.key -out server.csr -subj /CN=localhost");
    Shell("cd " + d +
          " && openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial"
          " -out server.crt -days 2 -extfile server.ext");
    std::filesystem::create_directory(dir_->path() / "www");
    test::WriteFile(file("www/hello.txt"), "hello over tls");

    nginx_ = std::make_unique<test::NginxServer>(
        dir_->path(), test::NginxServer::Options{
                          .root = dir_->path() / "www",
                          .listenParameters = "ssl",
                          .serverDirectives = "    ssl_certificate " + d +
                                              "/server.crt;\n    ssl_certificate_key " + d +
                                              "/server.key;\n    default_type text/plain;"});
    ASSERT_TRUE(nginx_->running()) << "nginx did not start";
  }

  static void TearDownTestSuite() {
    nginx_.reset();
    dir_.reset();
  }

  void SetUp() override { ASSERT_TRUE(nginx_ && nginx_->running()) << "nginx did not start"; }

  static std::string Url(const std::string& host, const std::string& path) {
    return nginx_->Url(path, "https", host);
  }

  static inline std::unique_ptr<test::TempDir> dir_;
  static inline std::unique_ptr<test::NginxServer> nginx_;
};

TEST_F(HttpsNginx, TrustedCaAndMatchingNameSucceed) {
  HttpClient client;
  client.CaFile = dir_->file("ca.crt");
  EXPECT_EQ(client.GetText(Url("localhost", "/hello.txt")), "hello over tls");
  std::ostringstream out;
  client.GetToStream(Url("LOCALHOST", "/hello.txt"), out);
  EXPECT_EQ(out.str(), "hello over tls");
  HttpError e = [&] {
    try {
      client.GetText(Url("localhost", "/missing"));
    } catch (const HttpError& error) {
      return error;
    }
    return HttpError(HttpError::Kind::Transport, "no failure");
  }();
  EXPECT_EQ(e.kind(), HttpError::Kind::Protocol);
  EXPECT_EQ(e.status(), 404);
}

TEST_F(HttpsNginx, WrongHostNameOrUntrustedCaFail) {
  struct Case {
    std::string host;
    std::string ca;
  };
  for (const Case& c : {Case{"127.0.0.1", "ca.crt"}, Case{"localhost", "other.crt"}}) {
    HttpClient client;
    client.CaFile = dir_->file(c.ca);
    try {
      client.GetText(Url(c.host, "/hello.txt"));
      ADD_FAILURE() << c.host << " with " << c.ca << " succeeded";
    } catch (const HttpError& e) {
      EXPECT_EQ(e.kind(), HttpError::Kind::Tls) << c.host << " " << c.ca << ": " << e.what();
    }
  }
}

}  // namespace
}  // namespace kestrune
