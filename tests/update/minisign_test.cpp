// Signatures made by Debian's minisign verify with nimbra's OpenSSL code, in both forms,
// and the smallest change to the message, the trusted comment or the key is refused.
#include "update/minisign.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "support/file_contents.h"
#include "support/temporary_folder.h"

namespace nimbra {
namespace {

namespace fs = std::filesystem;

using testing::readAll;

std::span<const uint8_t> bytes(const std::string& text) {
  return std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

class MinisignTool : public ::testing::Test {
 protected:
  void SetUp() override {
    message = "Contents/Info.json\tfile\t644\t2\tabc\n";
    std::ofstream(root / "manifest", std::ios::binary) << message;
    run("minisign -G -W -p " + (root / "key.pub").string() + " -s " + (root / "key.sec").string());
    key = Minisign::parsePublicKey(readAll(root / "key.pub"));
    ASSERT_TRUE(key.has_value());
  }

  void run(const std::string& command) {
    ASSERT_EQ(std::system((command + " > /dev/null").c_str()), 0) << command;
  }

  Minisign::Signature sign(const std::string& flags) {
    run("minisign -S " + flags + " -s " + (root / "key.sec").string() + " -m " +
        (root / "manifest").string() + " -t 'com.zuvo.devicecenter 1.1.0 (101)'");
    std::optional<Minisign::Signature> signature =
        Minisign::parseSignature(readAll(root / "manifest.minisig"));
    EXPECT_TRUE(signature.has_value());
    return signature.value_or(Minisign::Signature{});
  }

  testing::TemporaryFolder folder{"nimbra-minisign"};
  fs::path root = folder.path();
  std::string message;
  std::optional<Minisign::PublicKey> key;
};

TEST_F(MinisignTool, ThePrehashedDefaultVerifies) {
  Minisign::Signature signature = sign("");
  EXPECT_TRUE(signature.prehashed);
  EXPECT_EQ(signature.trustedComment, "com.zuvo.devicecenter 1.1.0 (101)");
  EXPECT_TRUE(Minisign::verify(*key, signature, bytes(message)));
}

TEST_F(MinisignTool, TheLegacyFormVerifies) {
  Minisign::Signature signature = sign("-l");
  EXPECT_FALSE(signature.prehashed);
  EXPECT_TRUE(Minisign::verify(*key, signature, bytes(message)));
}

TEST_F(MinisignTool, AnyChangeIsRefused) {
  Minisign::Signature signature = sign("");
  EXPECT_FALSE(Minisign::verify(*key, signature, bytes(message + " ")));
  Minisign::Signature comment = signature;
  comment.trustedComment = "com.zuvo.devicecenter 1.1.0 (102)";
  EXPECT_FALSE(Minisign::verify(*key, comment, bytes(message)));
  Minisign::PublicKey other = *key;
  other.key[0] ^= 1;
  EXPECT_FALSE(Minisign::verify(other, signature, bytes(message)));
  Minisign::PublicKey otherId = *key;
  otherId.keyId[0] ^= 1;
  EXPECT_FALSE(Minisign::verify(otherId, signature, bytes(message)));
}

TEST_F(MinisignTool, TheKeyIdReadsAsMinisignPrintsIt) {
  // minisign leaves out leading zeros; the team identifier always has 16 digits.
  std::string comment = readAll(root / "key.pub");
  std::string printed = comment.substr(comment.find("public key ") + 11);
  printed = printed.substr(0, printed.find('\n'));
  std::string id = Minisign::keyIdText(key->keyId);
  ASSERT_EQ(id.size(), 16u);
  EXPECT_EQ(id.substr(id.size() - printed.size()), printed);
  EXPECT_EQ(id.find_first_not_of('0'), 16 - printed.size());
}

}  // namespace
}  // namespace nimbra
