// Keys and signatures exchanged with the minisign command both ways, so that publishers may
// use either tool. The encrypted cases run minisign's scrypt (about 1 GiB, a few seconds).

#include <gtest/gtest.h>
#include <sodium.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "sign/Minisign.h"

namespace kestrune::minisign {
namespace {

struct Result {
  int status = -1;
  std::string output;  // standard output and error
};

// Runs `command` with /bin/sh in `folder`.
Result Shell(const test::TempDir& folder, const std::string& command) {
  std::string output = test::CommandOutput("cd '" + test::HostPath(folder.path()) + "' && (" +
                                           command + ") 2>&1; echo \"exit:$?\"");
  const std::size_t mark = output.rfind("exit:");
  Result result;
  if (mark == std::string::npos) return result;
  result.status = std::stoi(output.substr(mark + 5));
  result.output = output.substr(0, mark);
  return result;
}

class MinisignTool : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(Shell(dir, "minisign -v").status, 0) << "the minisign command is not installed";
    test::WriteFile(dir.file("file.bin"), data);
  }

  test::TempDir dir;
  const std::string data = test::Bytes(70000, 3);
  const std::string comment = "file:file.bin serial:1 time:2";
};

TEST_F(MinisignTool, ItsUnencryptedKeysAndSignaturesAreAccepted) {
  ASSERT_EQ(Shell(dir, "minisign -G -W -p x.pub -s x.key").status, 0);
  const PublicKey publicKey = ParsePublicKey(test::ReadFile(dir.file("x.pub")));
  const SecretKey secretKey = ParseSecretKey(test::ReadFile(dir.file("x.key")), std::nullopt);
  EXPECT_EQ(secretKey.Public().keyId, publicKey.keyId);
  EXPECT_EQ(secretKey.Public().key, publicKey.key);

  // Prehashed, its default, and the legacy form.
  ASSERT_EQ(Shell(dir, "minisign -S -s x.key -m file.bin -t '" + comment + "'").status, 0);
  ASSERT_EQ(Shell(dir, "minisign -S -l -s x.key -m file.bin -x legacy.minisig -t '" + comment + "'")
                .status,
            0);
  for (const char* name : {"file.bin.minisig", "legacy.minisig"}) {
    SCOPED_TRACE(name);
    const std::string signature = test::ReadFile(dir.file(name));
    EXPECT_EQ(Verify(publicKey, signature, data), comment);
    EXPECT_THROW(Verify(publicKey, signature, data + "x"), SignatureError);
  }
  // Its key, as we read it, signs what minisign then verifies with its public key.
  test::WriteFile(dir.file("ours.minisig"), Sign(secretKey, data, comment));
  const Result verified = Shell(dir, "minisign -V -p x.pub -m file.bin -x ours.minisig");
  EXPECT_EQ(verified.status, 0) << verified.output;
  EXPECT_NE(verified.output.find("Trusted comment: " + comment), std::string::npos);
}

TEST_F(MinisignTool, VerifiesWhatWeSignWithAKeyWeWrote) {
  const SecretKey key = GenerateKey();
  test::WriteFile(dir.file("our.pub"), FormatPublicKey(key.Public()));
  test::WriteFile(dir.file("our.key"), FormatSecretKey(key, std::nullopt));
  test::WriteFile(dir.file("file.bin.minisig"), Sign(key, data, comment));

  // -H insists on the prehashed form.
  Result verified = Shell(dir, "minisign -V -H -p our.pub -m file.bin");
  EXPECT_EQ(verified.status, 0) << verified.output;
  EXPECT_NE(verified.output.find("Trusted comment: " + comment), std::string::npos)
      << verified.output;
  verified = Shell(dir, "minisign -V -P " + PublicKeyLine(key.Public()) + " -m file.bin");
  EXPECT_EQ(verified.status, 0) << verified.output;

  test::WriteFile(dir.file("file.bin"), data + "x");
  EXPECT_NE(Shell(dir, "minisign -V -p our.pub -m file.bin").status, 0);

  // minisign signs with the unencrypted key file we wrote.
  test::WriteFile(dir.file("file.bin"), data);
  const Result signedByTool = Shell(dir, "minisign -S -W -s our.key -m file.bin -t 'by the tool'");
  ASSERT_EQ(signedByTool.status, 0) << signedByTool.output;
  EXPECT_EQ(Verify(key.Public(), test::ReadFile(dir.file("file.bin.minisig")), data),
            "by the tool");
}

TEST_F(MinisignTool, EncryptedKeysOpenBothWays) {
  using Clock = std::chrono::steady_clock;
  // Its key, made with a passphrase read from standard input.
  ASSERT_EQ(Shell(dir, "printf 'tool pass\\ntool pass\\n' | minisign -G -p t.pub -s t.key").status,
            0);
  const std::string toolKey = test::ReadFile(dir.file("t.key"));
  auto start = Clock::now();
  const SecretKey opened = ParseSecretKey(toolKey, std::string("tool pass"));
  const auto ourOpen = Clock::now() - start;
  const PublicKey toolPublic = ParsePublicKey(test::ReadFile(dir.file("t.pub")));
  EXPECT_EQ(opened.Public().key, toolPublic.key);
  EXPECT_EQ(Verify(toolPublic, Sign(opened, data, comment), data), comment);
  // A wrong passphrase shows as a checksum mismatch. Lowering the key's scrypt limits stands
  // in for one: any other stream than the right one must fail the same way, and cheaply.
  std::vector<std::string> lines = {toolKey.substr(0, toolKey.find('\n')),
                                    toolKey.substr(toolKey.find('\n') + 1)};
  std::string bytes(lines[1].size(), '\0');
  std::size_t length = 0;
  ASSERT_EQ(sodium_base642bin(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size(),
                              lines[1].data(), lines[1].find('\n'), nullptr, &length, nullptr,
                              sodium_base64_VARIANT_ORIGINAL),
            0);
  bytes.resize(length);
  ASSERT_EQ(bytes.substr(0, 6), std::string("EdScB2"));
  const std::string cheap("\0\0\x08\0\0\0\0\0\0\0\0\x01\0\0\0\0", 16);  // 2^19 ops, 16 MiB
  bytes.replace(38, 16, cheap);
  std::string line(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(line.data(), line.size(), reinterpret_cast<const unsigned char*>(bytes.data()),
                    bytes.size(), sodium_base64_VARIANT_ORIGINAL);
  line.pop_back();
  try {
    ParseSecretKey(lines[0] + "\n" + line + "\n", std::string("tool pass"));
    ADD_FAILURE() << "the wrong stream opened the key";
  } catch (const SignatureError& error) {
    EXPECT_EQ(error.kind(), SignatureError::Kind::WrongPassphrase);
  }

  // Our key, opened by minisign with the passphrase on standard input.
  const SecretKey key = GenerateKey();
  start = Clock::now();
  test::WriteFile(dir.file("our.key"), FormatSecretKey(key, std::string("our pass")));
  const auto ourWrite = Clock::now() - start;
  start = Clock::now();
  const Result signedByTool =
      Shell(dir, "printf 'our pass\\n' | minisign -S -s our.key -m file.bin -t '" + comment + "'");
  const auto toolOpen = Clock::now() - start;
  ASSERT_EQ(signedByTool.status, 0) << signedByTool.output;
  EXPECT_EQ(Verify(key.Public(), test::ReadFile(dir.file("file.bin.minisig")), data), comment);

  using std::chrono::milliseconds;
  std::printf(
      "scrypt: we open minisign's key in %lld ms, write ours in %lld ms; "
      "minisign signs with ours in %lld ms\n",
      static_cast<long long>(std::chrono::duration_cast<milliseconds>(ourOpen).count()),
      static_cast<long long>(std::chrono::duration_cast<milliseconds>(ourWrite).count()),
      static_cast<long long>(std::chrono::duration_cast<milliseconds>(toolOpen).count()));
}

}  // namespace
}  // namespace kestrune::minisign
