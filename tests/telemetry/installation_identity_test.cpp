#include "telemetry/installation_identity.h"

#include <gtest/gtest.h>

#include "storage/storage_fixture.h"

namespace nimbra {
namespace {

namespace Identity = InstallationIdentity;
using testing::StorageTest;

constexpr char kMachineId[] = "4f1c2b3a9d8e7f60514233a4b5c6d7e8";

TEST(InstallationIdentity, DerivationMatchesTheFixedRecipe) {
  // SHA-256 of "com.zuvo.devicecenter.installation.v1:4F1C2B3A-9D8E-7F60-5142-33A4B5C6D7E8",
  // computed outside nimbra, with version 8 and variant 10 set.
  Uuid platform = *Uuid::parse("4F1C2B3A-9D8E-7F60-5142-33A4B5C6D7E8");
  EXPECT_EQ(Identity::deriveInstallationID(platform).text(),
            "270DF474-0785-8BAD-BC83-8EE31E3F3D38");
}

TEST(InstallationIdentity, EveryDerivedIdIsVersion8WithRfcVariant) {
  for (int i = 0; i < 64; ++i) {
    Uuid platform = Uuid::random();
    std::string text = Identity::deriveInstallationID(platform).text();
    EXPECT_EQ(text, Identity::deriveInstallationID(platform).text());
    EXPECT_EQ(text[14], '8') << text;
    EXPECT_NE(std::string("89AB").find(text[19]), std::string::npos) << text;
  }
}

TEST(InstallationIdentity, MachineIdCaseDoesNotChangeTheIdentifier) {
  auto lower = Identity::platformUUIDFromText(std::string(kMachineId) + "\n");
  auto upper = Identity::platformUUIDFromText("4F1C2B3A9D8E7F60514233A4B5C6D7E8");
  ASSERT_TRUE(lower && upper);
  EXPECT_EQ(lower->text(), "4F1C2B3A-9D8E-7F60-5142-33A4B5C6D7E8");
  EXPECT_EQ(Identity::deriveInstallationID(*lower), Identity::deriveInstallationID(*upper));
}

TEST(InstallationIdentity, MalformedOrAllZeroMachineIdGivesNone) {
  EXPECT_FALSE(Identity::platformUUIDFromText(""));
  EXPECT_FALSE(Identity::platformUUIDFromText("4f1c2b3a9d8e7f60514233a4b5c6d7e"));
  EXPECT_FALSE(Identity::platformUUIDFromText("4f1c2b3a9d8e7f60514233a4b5c6d7e8a"));
  EXPECT_FALSE(Identity::platformUUIDFromText("4f1c2b3a9d8e7f60514233a4b5c6d7eg"));
  EXPECT_FALSE(Identity::platformUUIDFromText("4F1C2B3A-9D8E-7F60-5142-33A4B5C6D7E8"));
  EXPECT_FALSE(Identity::platformUUIDFromText("00000000000000000000000000000000\n"));
}

class IdentityStoreTest : public StorageTest {
 protected:
  LocalSettings settings() { return LocalSettings(freshProcess()); }
  std::filesystem::path writeMachineId(const std::string& text) {
    auto file = base_ / "machine-id";
    testing::writeAll(file, text);
    return file;
  }
};

TEST_F(IdentityStoreTest, MachineIdFileIsReadAndAMissingOneGivesNone) {
  EXPECT_EQ(Identity::platformUUID(writeMachineId(std::string(kMachineId) + "\n")),
            Identity::platformUUIDFromText(kMachineId));
  EXPECT_FALSE(Identity::platformUUID(base_ / "no-such-file"));
  EXPECT_FALSE(Identity::platformUUID(base_));
}

TEST_F(IdentityStoreTest, WithoutMachineIdTheFirstProcessStoresARandomIdAndLaterOnesReuseIt) {
  LocalSettings first = settings();
  Uuid chosen = Identity::resolveInstallationID(std::nullopt, &first);
  EXPECT_EQ(first.value<std::string>(Identity::kSettingsKey), chosen.text());
  LocalSettings later = settings();
  EXPECT_EQ(Identity::resolveInstallationID(std::nullopt, &later), chosen);
}

TEST_F(IdentityStoreTest, AllZeroMachineIdFallsBackToTheStoredId) {
  LocalSettings store = settings();
  Uuid stored = Uuid::random();
  store.set(stored.text(), Identity::kSettingsKey);
  auto platform = Identity::platformUUID(writeMachineId("00000000000000000000000000000000\n"));
  EXPECT_EQ(Identity::resolveInstallationID(platform, &store), stored);
}

TEST_F(IdentityStoreTest, MachineIdWinsOverAStoredRandomId) {
  LocalSettings store = settings();
  store.set(Uuid::random().text(), Identity::kSettingsKey);
  Uuid platform = *Identity::platformUUIDFromText(kMachineId);
  EXPECT_EQ(Identity::resolveInstallationID(platform, &store),
            Identity::deriveInstallationID(platform));
}

TEST_F(IdentityStoreTest, UnparsableStoredValueIsReplacedByANewId) {
  LocalSettings store = settings();
  store.set(std::string("not a uuid"), Identity::kSettingsKey);
  Uuid chosen = Identity::resolveInstallationID(std::nullopt, &store);
  EXPECT_EQ(store.value<std::string>(Identity::kSettingsKey), chosen.text());
}

// The process-wide identifier is the one derived from this machine's id when it has one, and
// otherwise the random one stored for the user (here below the test's directory).
TEST_F(IdentityStoreTest, ProcessWideIdentifierComesFromTheMachineIdOrTheUsersStore) {
  ::setenv("XDG_DATA_HOME", base_.c_str(), 1);
  const Uuid id = Identity::installationID();
  if (std::optional<Uuid> machine = Identity::platformUUID()) {
    EXPECT_EQ(id, Identity::deriveInstallationID(*machine));
  } else {
    LocalSettings store(LocalStorage(base_, KeyCache::process()));
    EXPECT_EQ(store.value<std::string>(Identity::kSettingsKey), id.text());
  }
}

}  // namespace
}  // namespace nimbra
