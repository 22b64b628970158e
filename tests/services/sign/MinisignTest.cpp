// Signatures, keys and their refusals, made and checked in this process.

#include "sign/Minisign.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <functional>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace kestrune::minisign {
namespace {

using Kind = SignatureError::Kind;

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string JoinLines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

std::string FromBase64(const std::string& line) {
  std::string bytes(line.size(), '\0');
  std::size_t length = 0;
  if (sodium_base642bin(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size(), line.data(),
                        line.size(), nullptr, &length, nullptr,
                        sodium_base64_VARIANT_ORIGINAL) != 0)
    throw std::runtime_error("test base64 does not decode");
  bytes.resize(length);
  return bytes;
}

std::string ToBase64(const std::string& bytes) {
  std::string line(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(line.data(), line.size(), reinterpret_cast<const unsigned char*>(bytes.data()),
                    bytes.size(), sodium_base64_VARIANT_ORIGINAL);
  line.pop_back();
  return line;
}

// Rewrites the decoded bytes of line `index` of `text`.
std::string EditBinaryLine(const std::string& text, std::size_t index,
                           const std::function<void(std::string&)>& edit) {
  std::vector<std::string> lines = SplitLines(text);
  std::string bytes = FromBase64(lines.at(index));
  edit(bytes);
  lines.at(index) = ToBase64(bytes);
  return JoinLines(lines);
}

std::string ReplaceLine(const std::string& text, std::size_t index, const std::string& line) {
  std::vector<std::string> lines = SplitLines(text);
  lines.at(index) = line;
  return JoinLines(lines);
}

class MinisignSigned : public ::testing::Test {
 protected:
  const SecretKey key = GenerateKey();
  const std::string data = test::Bytes(5000, 1);
  const std::string comment = "file:Settings.xml serial:7 time:1765400000";
  const std::string signature = Sign(key, data, comment);
};

TEST_F(MinisignSigned, VerifiesAndReturnsTheTrustedComment) {
  EXPECT_EQ(Verify(key.Public(), signature, data), comment);
  const std::vector<std::string> lines = SplitLines(signature);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "untrusted comment: signature from kestrune-publish");
  EXPECT_EQ(lines[2], "trusted comment: " + comment);
  EXPECT_EQ(FromBase64(lines[1]).substr(0, 2), "ED");  // prehashed, minisign's default
  EXPECT_EQ(Verify(key.Public(), Sign(key, "", ""), ""), "");
}

TEST_F(MinisignSigned, AcceptsCrlfAndAMissingLastLineEnd) {
  std::string crlf;
  for (const std::string& line : SplitLines(signature)) crlf += line + "\r\n";
  EXPECT_EQ(Verify(key.Public(), crlf, data), comment);
  EXPECT_EQ(Verify(key.Public(), signature.substr(0, signature.size() - 1), data), comment);
  // The untrusted comment is just that: anyone may change it.
  EXPECT_EQ(Verify(key.Public(), ReplaceLine(signature, 0, "untrusted comment: x"), data), comment);
}

TEST_F(MinisignSigned, RefusesEveryTamperingWithItsKind) {
  const std::string otherData = test::Bytes(5000, 2);
  const std::string otherSignature = Sign(key, otherData, comment);
  SecretKey otherKey = GenerateKey();
  SecretKey sameIdOtherKey = GenerateKey();
  sameIdOtherKey.keyId = key.keyId;
  std::string changedData = data;
  changedData[2500] ^= 1;

  struct Case {
    const char* name;
    std::string signature;
    std::string data;
    Kind kind;
  };
  const std::vector<Case> cases = {
      {"changed data byte", signature, changedData, Kind::BadSignature},
      {"truncated data", signature, data.substr(0, data.size() - 1), Kind::BadSignature},
      {"signature of another file", otherSignature, data, Kind::BadSignature},
      {"another key", Sign(otherKey, data, comment), data, Kind::OtherKey},
      {"another key claiming this key's id", Sign(sameIdOtherKey, data, comment), data,
       Kind::BadSignature},
      {"prehashed signature relabelled plain",
       EditBinaryLine(signature, 1, [](std::string& b) { b[1] = 'd'; }), data, Kind::BadSignature},
      {"changed trusted comment",
       ReplaceLine(signature, 2, "trusted comment: file:Settings.xml serial:9 time:1765400000"),
       data, Kind::BadTrustedComment},
      {"global signature of another file", ReplaceLine(signature, 3, SplitLines(otherSignature)[3]),
       data, Kind::BadTrustedComment},
      {"signature line of another file", ReplaceLine(signature, 1, SplitLines(otherSignature)[1]),
       data, Kind::BadSignature},
      {"unknown algorithm", EditBinaryLine(signature, 1, [](std::string& b) { b[1] = 'X'; }), data,
       Kind::Malformed},
      {"signature too short", EditBinaryLine(signature, 1, [](std::string& b) { b.pop_back(); }),
       data, Kind::Malformed},
      {"global signature too long",
       EditBinaryLine(signature, 3, [](std::string& b) { b.push_back('x'); }), data,
       Kind::Malformed},
      {"truncated base64", ReplaceLine(signature, 1, SplitLines(signature)[1].substr(0, 60)), data,
       Kind::Malformed},
      {"garbage base64", ReplaceLine(signature, 1, std::string(100, '*')), data, Kind::Malformed},
      {"base64 without padding", ReplaceLine(signature, 3, SplitLines(signature)[3].substr(0, 86)),
       data, Kind::Malformed},
      {"trailing blank in base64", ReplaceLine(signature, 3, SplitLines(signature)[3] + " "), data,
       Kind::Malformed},
      {"no trusted comment line", ReplaceLine(signature, 2, "comment: " + comment), data,
       Kind::Malformed},
      {"no untrusted comment line", ReplaceLine(signature, 0, "signature"), data, Kind::Malformed},
      {"three lines", signature.substr(0, signature.rfind('\n', signature.size() - 2)), data,
       Kind::Malformed},
      {"a fifth line", signature + "x\n", data, Kind::Malformed},
      {"empty", "", data, Kind::Malformed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      Verify(key.Public(), c.signature, c.data);
      ADD_FAILURE() << "accepted";
    } catch (const SignatureError& error) {
      EXPECT_EQ(error.kind(), c.kind) << error.what();
    }
  }
}

TEST(MinisignSign, RefusesCommentsWithLineEnds) {
  const SecretKey key = GenerateKey();
  EXPECT_THROW(Sign(key, "x", "file:a serial:1 time:2\ntrusted comment: y"), std::invalid_argument);
  EXPECT_THROW(Sign(key, "x", "t", "a\rb"), std::invalid_argument);
}

TEST(MinisignPublicKey, RoundTripsAsLineAndFile) {
  const PublicKey key = GenerateKey().Public();
  const std::string line = PublicKeyLine(key);
  const std::string file = FormatPublicKey(key);
  EXPECT_EQ(line.size(), 56u);
  EXPECT_EQ(line.substr(0, 2), "RW");  // "Ed" in base64, as every minisign key starts
  EXPECT_EQ(file.substr(file.find('\n') + 1), line + "\n");
  for (const std::string& text : {line, line + "\n", file, file.substr(0, file.size() - 1),
                                  "untrusted comment: x\r\n" + line + "\r\n"}) {
    const PublicKey parsed = ParsePublicKey(text);
    EXPECT_EQ(parsed.keyId, key.keyId);
    EXPECT_EQ(parsed.key, key.key);
  }
}

TEST(MinisignPublicKey, ShowsTheKeyIdAsALittleEndianNumber) {
  PublicKey key;
  key.keyId = {0xd2, 0xc9, 0x7e, 0xd6, 0xa3, 0xe1, 0x4b, 0xef};
  EXPECT_EQ(FormatPublicKey(key).substr(0, FormatPublicKey(key).find('\n')),
            "untrusted comment: minisign public key EF4BE1A3D67EC9D2");
}

TEST(MinisignPublicKey, RefusesWhatIsNotAKey) {
  const std::string line = PublicKeyLine(GenerateKey().Public());
  const std::vector<std::string> bad = {
      "",
      "\n",
      line.substr(0, 52),
      line + "AAAA",
      ToBase64("Ex" + FromBase64(line).substr(2)),
      std::string(56, '!'),
      "comment\n" + line,
      "untrusted comment: a\n" + line + "\n" + line,
      " " + line,
  };
  for (const std::string& text : bad) {
    SCOPED_TRACE(text);
    try {
      ParsePublicKey(text);
      ADD_FAILURE() << "accepted";
    } catch (const SignatureError& error) {
      EXPECT_EQ(error.kind(), Kind::Malformed);
    }
  }
}

TEST(MinisignSecretKey, UnencryptedRoundTripSigns) {
  const SecretKey key = GenerateKey();
  const std::string text = FormatSecretKey(key, std::nullopt);
  const SecretKey parsed = ParseSecretKey(text, std::nullopt);
  EXPECT_EQ(parsed.keyId, key.keyId);
  EXPECT_EQ(parsed.key, key.key);
  EXPECT_EQ(Verify(key.Public(), Sign(parsed, "data", "t"), "data"), "t");
}

TEST(MinisignSecretKey, RefusesDamagedOrLockedKeys) {
  const std::string clear = FormatSecretKey(GenerateKey(), std::nullopt);
  auto edit = [&](std::size_t at) {
    return EditBinaryLine(clear, 1, [at](std::string& b) { b.at(at) ^= 1; });
  };
  // Header 54 bytes, then key id 8, secret key 64 (seed 32, public key 32), checksum 32.
  const std::vector<std::pair<std::string, std::string>> malformed = {
      {"unknown signature algorithm", edit(0)},
      {"unknown kdf", edit(2)},
      {"unknown checksum algorithm", edit(5)},
      {"changed seed", edit(54 + 8 + 3)},
      {"changed public half", edit(54 + 8 + 40)},
      {"changed checksum", edit(54 + 72 + 1)},
      // minisign -W leaves the checksum zero; the public half must still fit the seed.
      {"unsummed, changed public half", EditBinaryLine(clear, 1,
                                                       [](std::string& b) {
                                                         b.replace(54 + 72, 32, 32, '\0');
                                                         b.at(54 + 8 + 40) ^= 1;
                                                       })},
      {"short", EditBinaryLine(clear, 1, [](std::string& b) { b.pop_back(); })},
      {"no comment line", SplitLines(clear)[1]},
      {"garbage", "untrusted comment: x\n@@@@\n"},
  };
  for (const auto& [name, text] : malformed) {
    SCOPED_TRACE(name);
    try {
      ParseSecretKey(text, std::nullopt);
      ADD_FAILURE() << "accepted";
    } catch (const SignatureError& error) {
      EXPECT_EQ(error.kind(), Kind::Malformed) << error.what();
    }
  }
  // An encrypted key refuses to open without a passphrase before any scrypt work.
  const std::string locked =
      EditBinaryLine(clear, 1, [](std::string& b) { b.replace(2, 2, "Sc"); });
  try {
    ParseSecretKey(locked, std::nullopt);
    ADD_FAILURE() << "accepted";
  } catch (const SignatureError& error) {
    EXPECT_EQ(error.kind(), Kind::WrongPassphrase);
  }
}

}  // namespace
}  // namespace kestrune::minisign
