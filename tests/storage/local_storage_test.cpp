#include <cctype>
#include <fstream>
#include <thread>

#include <openssl/evp.h>

#include "storage_fixture.h"

namespace nimbra::testing {
namespace {

struct Point {
  int x = 0;
  std::string label;
  friend void to_json(nlohmann::json& j, const Point& p) { j = {{"x", p.x}, {"label", p.label}}; }
  friend void from_json(const nlohmann::json& j, Point& p) {
    j.at("x").get_to(p.x);
    j.at("label").get_to(p.label);
  }
};

JsonDecoder<Point> pointDecoder() { return decodeJson<Point>; }

class SealedFileTest : public StorageTest {
 protected:
  fs::path sealedFile(const std::string& name, const std::string& plaintext = R"({"a":1})") {
    auto dir = storage().localDirectory();
    EXPECT_OK(dir);
    fs::path file = *dir / name;
    EXPECT_OK(storage().writeSealed(plaintext, file));
    return file;
  }
  void changeByte(const fs::path& file, size_t at) {
    std::string bytes = readAll(file);
    bytes[at] = static_cast<char>(bytes[at] ^ 0x01);
    writeAll(file, bytes);
  }
};

TEST_F(SealedFileTest, FirstWriteCreatesKeyAndDataFileWithOwnerOnlyPermissions) {
  fs::path file = sealedFile("history-abc.json", "{}");
  EXPECT_EQ(fs::file_size(keyFile()), 32u);
  EXPECT_EQ(modeOf(keyFile()), 0600u);
  EXPECT_EQ(modeOf(file), 0600u);
  EXPECT_EQ(modeOf(dataDir()), 0700u);
  EXPECT_EQ(modeOf(keyFile().parent_path()), 0700u);
  EXPECT_EQ(fs::file_size(file), 2u + 36u);
  // Only the key and the data file remain: no temporary files left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(keyFile().parent_path()), {}), 1);
  EXPECT_EQ(std::distance(fs::directory_iterator(dataDir()), {}), 1);
  auto back = freshProcess().readSealed(file);
  ASSERT_OK(back);
  EXPECT_EQ(*back, "{}");
}

TEST_F(SealedFileTest, LayoutDecryptsWithPlainOpenSslUnderFileNameAsAad) {
  std::string plaintext = R"([{"observedAt":1.5,"settings":{}}])";
  fs::path file = sealedFile("0.json", plaintext);
  std::string bytes = readAll(file);
  std::string key = readAll(keyFile());
  ASSERT_EQ(bytes.size(), plaintext.size() + 36);
  ASSERT_EQ(bytes.substr(0, 8), std::string("NIMBRA2\n"));

  auto u = [](const std::string& s, size_t at = 0) {
    return reinterpret_cast<const unsigned char*>(s.data()) + at;
  };
  std::string aad = "0.json";
  std::string tag = bytes.substr(bytes.size() - 16);
  std::string out(plaintext.size(), '\0');
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int len = 0, finalLen = 0;
  ASSERT_EQ(EVP_DecryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, u(key), u(bytes, 8)), 1);
  ASSERT_EQ(EVP_DecryptUpdate(ctx, nullptr, &len, u(aad), static_cast<int>(aad.size())), 1);
  ASSERT_EQ(EVP_DecryptUpdate(ctx, reinterpret_cast<unsigned char*>(out.data()), &len, u(bytes, 20),
                              static_cast<int>(plaintext.size())),
            1);
  ASSERT_EQ(EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, 16, tag.data()), 1);
  EXPECT_EQ(EVP_DecryptFinal_ex(ctx, reinterpret_cast<unsigned char*>(out.data()) + len, &finalLen),
            1);
  EVP_CIPHER_CTX_free(ctx);
  EXPECT_EQ(out, plaintext);
}

TEST_F(SealedFileTest, FileNameIsAuthenticatedButDirectoryIsNot) {
  fs::path file = sealedFile("history-a.json");
  fs::path renamed = file.parent_path() / "history-b.json";
  fs::copy_file(file, renamed);
  EXPECT_STORAGE_ERROR(storage().readSealed(renamed), authenticationFailure);

  fs::path elsewhere = dataDir() / "Telemetry";
  fs::create_directories(elsewhere);
  fs::copy_file(file, elsewhere / "history-a.json");
  auto copied = storage().readSealed(elsewhere / "history-a.json");
  ASSERT_OK(copied);
  EXPECT_EQ(*copied, R"({"a":1})");
}

TEST_F(SealedFileTest, AnyChangedByteIsDetected) {
  fs::path file = sealedFile("x.json");
  std::string original = readAll(file);
  for (size_t at = 0; at < original.size(); ++at) {
    changeByte(file, at);
    if (at < 8) {
      EXPECT_STORAGE_ERROR(storage().readSealed(file), fileReadCorruptFile);
    } else {
      EXPECT_STORAGE_ERROR(storage().readSealed(file), authenticationFailure);
    }
    writeAll(file, original);
  }
  EXPECT_STORAGE_ERROR(storage().readSealed(dataDir() / "missing.json"), fileReadNoSuchFile);
}

TEST_F(SealedFileTest, ShortFilesAreRejectedByLength) {
  fs::path empty = sealedFile("empty.json", "");
  EXPECT_EQ(fs::file_size(empty), 36u);
  auto opened = storage().readSealed(empty);
  ASSERT_OK(opened);
  EXPECT_EQ(*opened, "");

  std::string bytes = readAll(empty);
  fs::path truncated = dataDir() / "truncated.json";
  writeAll(truncated, bytes.substr(0, 35));
  EXPECT_STORAGE_ERROR(storage().readSealed(truncated), incorrectParameterSize);
  writeAll(truncated, "NIMBRA2");
  EXPECT_STORAGE_ERROR(storage().readSealed(truncated), fileReadCorruptFile);
}

TEST_F(SealedFileTest, KeyOfWrongLengthIsCorrupt) {
  sealedFile("x.json");
  for (size_t size : {31u, 33u}) {
    writeAll(keyFile(), std::string(size, 'k'));
    EXPECT_STORAGE_ERROR(freshProcess().loadKey(false), fileReadCorruptFile);
  }
}

TEST_F(SealedFileTest, KeyWithWrongPermissionsOrOwnerIsRefusedAndLeftAlone) {
  sealedFile("x.json");
  fs::permissions(keyFile(), fs::perms(0644));
  EXPECT_STORAGE_ERROR(freshProcess().loadKey(false), fileReadNoPermission);
  EXPECT_EQ(modeOf(keyFile()), 0644u);

  fs::permissions(keyFile(), fs::perms(0600));
  ASSERT_EQ(::chown(keyFile().c_str(), 4321, 4321), 0);
  EXPECT_STORAGE_ERROR(freshProcess().loadKey(false), fileReadNoPermission);
  ASSERT_EQ(::chown(keyFile().c_str(), ::getuid(), ::getgid()), 0);

  std::string key = readAll(keyFile());
  fs::remove(keyFile());
  writeAll(base_ / "elsewhere.key", key);
  fs::permissions(base_ / "elsewhere.key", fs::perms(0600));
  fs::create_symlink(base_ / "elsewhere.key", keyFile());
  EXPECT_STORAGE_ERROR(freshProcess().loadKey(false), fileReadNoPermission);
}

TEST_F(SealedFileTest, WideDataDirectoryIsTightenedButImpostorsAreRefused) {
  fs::create_directories(dataDir());
  fs::permissions(dataDir(), fs::perms(0755));
  ASSERT_OK(storage().localDirectory());
  EXPECT_EQ(modeOf(dataDir()), 0700u);

  ASSERT_EQ(::chown(dataDir().c_str(), 4321, 4321), 0);
  EXPECT_STORAGE_ERROR(storage().localDirectory(), fileReadNoPermission);
  fs::remove(dataDir());

  writeAll(dataDir(), "not a directory");
  EXPECT_STORAGE_ERROR(storage().localDirectory(), fileReadNoPermission);
  fs::remove(dataDir());

  fs::create_directories(base_ / "real");
  fs::create_directory_symlink(base_ / "real", dataDir());
  EXPECT_STORAGE_ERROR(storage().localDirectory(), fileReadNoPermission);
}

TEST_F(SealedFileTest, LostKeyWithDataFilesIsNeverReplaced) {
  fs::path archive = sealedFile("history-abc.json");
  fs::remove(keyFile());
  LocalStorage later = freshProcess();
  EXPECT_STORAGE_ERROR(later.writeSealed("{}", dataDir() / "other.json"), fileReadNoSuchFile);
  EXPECT_FALSE(fs::exists(keyFile()));
  EXPECT_FALSE(fs::exists(dataDir() / "other.json"));
  auto loaded = later.loadSealed<Point>(archive);
  ASSERT_OK(loaded);
  EXPECT_FALSE(*loaded);
  // The guard also sees sealed files in subdirectories.
  fs::create_directories(dataDir() / "Preferences");
  fs::rename(archive, dataDir() / "Preferences" / "ZuvoInstallationID.json");
  EXPECT_STORAGE_ERROR(later.writeSealed("{}", dataDir() / "a.json"), fileReadNoSuchFile);
  EXPECT_FALSE(fs::exists(keyFile()));
}

TEST_F(SealedFileTest, LegacyPlainFilesDoNotBlockTheFirstKey) {
  fs::create_directories(dataDir() / "Telemetry");
  writeAll(dataDir() / "device-setting-history.json", "[]");
  writeAll(dataDir() / "Telemetry" / "outbox.json", "{}");
  ASSERT_OK(storage().writeSealed("{}", dataDir() / "Telemetry" / "outbox.json.sealed"));
  EXPECT_TRUE(fs::exists(keyFile()));
}

TEST_F(SealedFileTest, ConcurrentFirstWritesAgreeOnOneKey) {
  std::vector<LocalStorage> processes;
  for (int i = 0; i < 4; ++i) processes.push_back(freshProcess());
  std::vector<Result<StorageKey>> keys(4, Result<StorageKey>(StorageKey{}));
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] { keys[i] = processes[i].loadKey(true); });
  }
  for (auto& t : threads) t.join();
  for (auto& key : keys) {
    ASSERT_OK(key);
    EXPECT_EQ(*key, *keys[0]);
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(keyFile().parent_path()), {}), 1);
}

TEST_F(SealedFileTest, TypedLoadAndSave) {
  fs::path file = dataDir() / "point.json";
  ASSERT_OK(storage().localDirectory());
  auto missing = storage().loadSealed<Point>(file);
  ASSERT_OK(missing);
  EXPECT_FALSE(*missing);
  ASSERT_OK(storage().saveSealed(Point{7, "seven"}, file));
  auto loaded = storage().loadSealed<Point>(file);
  ASSERT_OK(loaded);
  ASSERT_TRUE(*loaded);
  EXPECT_EQ((*loaded)->x, 7);
  ASSERT_OK(storage().writeSealed(R"({"x":"text"})", file));
  EXPECT_STORAGE_ERROR(storage().loadSealed<Point>(file), decodingFailed);
}

// Only the exact temporary form goes; names that merely resemble it are someone's data.
TEST_F(SealedFileTest, StartUpCleanupRemovesOnlyAbandonedTemporaries) {
  ASSERT_OK(storage().writeSealed("{}", dataDir() / "kept.json"));
  std::string uuid = Uuid::random().text();
  std::string lower = uuid;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  fs::create_directories(dataDir() / "DeviceSamples" / ("." + uuid));
  for (fs::path leftover : {dataDir() / (".kept.json." + uuid),
                            dataDir() / "DeviceSamples" / (".2026-12-08.json." + uuid)}) {
    std::ofstream(leftover) << "torn";
  }
  std::vector<fs::path> others = {dataDir() / ("kept.json." + uuid),
                                  dataDir() / (".kept.json." + lower), dataDir() / ("." + uuid),
                                  dataDir() / (".kept.json-" + uuid),
                                  dataDir() / (".kept.json." + uuid + ".json")};
  for (const fs::path& other : others) std::ofstream(other) << "data";
  auto removed = freshProcess().removeAbandonedTemporaries();
  ASSERT_OK(removed);
  EXPECT_EQ(*removed, 2);
  for (const fs::path& other : others) EXPECT_TRUE(fs::exists(other)) << other;
  EXPECT_TRUE(fs::is_directory(dataDir() / "DeviceSamples" / ("." + uuid)));
  ASSERT_OK(freshProcess().readSealed(dataDir() / "kept.json"));
  // No data directory yet: nothing to do, and none is made.
  fs::remove_all(dataDir());
  auto none = freshProcess().removeAbandonedTemporaries();
  ASSERT_OK(none);
  EXPECT_EQ(*none, 0);
  EXPECT_FALSE(fs::exists(dataDir()));
}

class MigrationTest : public SealedFileTest {
 protected:
  fs::path plain() { return dataDir() / "outbox.json"; }
  fs::path sealed() { return dataDir() / "outbox.json.sealed"; }
  Result<std::optional<Point>> migrate() {
    return storage().loadSealedMigrating<Point>(plain(), sealed(), pointDecoder());
  }
  void SetUp() override {
    SealedFileTest::SetUp();
    ASSERT_OK(storage().localDirectory());
  }
};

TEST_F(MigrationTest, PlainFileIsSealedByteForByteAndRemoved) {
  std::string legacy = "{ \"label\" : \"old\", \"x\" : 3 }\n";
  writeAll(plain(), legacy);
  auto value = migrate();
  ASSERT_OK(value);
  ASSERT_TRUE(*value);
  EXPECT_EQ((*value)->label, "old");
  EXPECT_FALSE(fs::exists(plain()));
  auto stored = freshProcess().readSealed(sealed());
  ASSERT_OK(stored);
  EXPECT_EQ(*stored, legacy);

  auto none = storage().loadSealedMigrating<Point>(dataDir() / "a.json", dataDir() / "a.sealed",
                                                   pointDecoder());
  ASSERT_OK(none);
  EXPECT_FALSE(*none);
}

TEST_F(MigrationTest, ValidSealedFileWinsAndPlainLeftoverIsRemoved) {
  ASSERT_OK(storage().saveSealed(Point{1, "sealed"}, sealed()));
  writeAll(plain(), R"({"x":2,"label":"plain"})");
  auto value = migrate();
  ASSERT_OK(value);
  EXPECT_EQ((*value)->label, "sealed");
  EXPECT_FALSE(fs::exists(plain()));
}

TEST_F(MigrationTest, BrokenSealedFileOrBadPlainFileLeavesBothInPlace) {
  writeAll(sealed(), "NIMBRA1\n garbage garbage garbage garbage");
  writeAll(plain(), R"({"x":2,"label":"plain"})");
  EXPECT_STORAGE_ERROR(migrate(), fileReadCorruptFile);
  EXPECT_TRUE(fs::exists(plain()));
  EXPECT_EQ(readAll(sealed()), "NIMBRA1\n garbage garbage garbage garbage");

  fs::remove(sealed());
  writeAll(plain(), R"({"x":"two"})");
  EXPECT_STORAGE_ERROR(migrate(), decodingFailed);
  EXPECT_TRUE(fs::exists(plain()));
  EXPECT_FALSE(fs::exists(sealed()));
}

}  // namespace
}  // namespace nimbra::testing
