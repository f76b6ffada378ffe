// AppUpdater against a loopback HTTPS server whose certificate is trusted through the
// CA file given to the transport.
#include "update/app_updater.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <elf.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include "core/manual_main_queue.h"
#include "support/file_contents.h"
#include "support/test_https_server.h"
#include "update/update_support.h"
#include "update_fixture.h"

namespace nimbra::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr char kHost[] = "updates.nimbra.test";
constexpr char kPackagePath[] = "/v1/app/updates/packages/nimbra-101.zip";

using testing::readAll;

class AppUpdaterTest : public UpdateFixture {
 protected:
  void SetUp() override {
    UpdateFixture::SetUp();
    fs::path bundle = newBundle();
    signer.sign(bundle);
    fs::path zip = root / "nimbra-101.zip";
    release = packageOf(entriesOf(bundle.parent_path(), ""), zip);
    package = readAll(zip);

    server = std::make_unique<TestHttpsServer>(kHost, root);
    server->server().Get("/v1/app/updates/latest", [this](const httplib::Request& request,
                                                          httplib::Response& response) {
      queriedArch = request.get_param_value("arch");
      queriedPlatform = request.get_param_value("platform");
      response.status = latestStatus;
      if (latestStatus == 302) {
        response.set_header("Location", std::string(kPackagePath));
      }
      if (latestStatus == 200) {
        response.set_content(latestBody ? *latestBody : UpdateRelease::encode(release).dump(),
                             "application/json");
      }
    });
    server->server().Get(
        kPackagePath, [this](const httplib::Request&, httplib::Response& r) { servePackage(r); });
    server->start();
    updater = makeUpdater(running);
  }

  void TearDown() override {
    stopping = true;
    updater.reset();
    server.reset();
    UpdateFixture::TearDown();
  }

  std::unique_ptr<AppUpdater> makeUpdater(const RunningApp& app, bool trustTestCertificate = true,
                                          std::string baseUrl = std::string("https://") + kHost) {
    UpdateTransport::Options transport{.caFile = server->caFile(),
                                       .connectTo = {server->connectTo()}};
    if (!trustTestCertificate) transport.caFile.reset();
    transport.downloadDeadline = downloadDeadline;
    auto made = std::make_unique<AppUpdater>(AppUpdater::Seams{
        .queue = queue,
        .baseUrl = std::move(baseUrl),
        .transport = transport,
        .updateDirectory = updates,
        .running = app,
        .architecture = "x86_64",
        .processId = static_cast<int32_t>(::getpid()),
        .isWritable = [this](const fs::path&) { return writable; },
        .launch = [this](const fs::path& program,
                         const std::vector<std::string>& arguments) -> Status {
          launched.push_back(program.string());
          launchArguments = arguments;
          installerCopyMode = fs::status(program).permissions() & fs::perms::all;
          return {};
        },
        .terminate = [this] { terminated = true; },
        .unpackLimits = {},
        .now = [this] { return now; },
    });
    made->setOnChange([this, raw = made.get()] { phases.push_back(raw->phase()); });
    return made;
  }

  void servePackage(httplib::Response& response) {
    if (packageMode == "redirect") {
      response.status = 302;
      response.set_header("Location", std::string(kPackagePath) + "?again");
    } else if (packageMode == "growing") {
      // Chunked, no length announced: only the bytes arriving tell the size.
      response.set_chunked_content_provider("application/zip",
                                            [this](size_t, httplib::DataSink& sink) {
                                              std::string chunk(1 << 20, 'z');
                                              packageBytesSent += chunk.size();
                                              if (packageBytesSent > (60u << 20)) {
                                                sink.done();
                                                return true;
                                              }
                                              return sink.write(chunk.data(), chunk.size());
                                            });
    } else if (packageMode == "trickle") {
      // One byte a second until the test ends.
      response.set_chunked_content_provider("application/zip",
                                            [this](size_t, httplib::DataSink& sink) {
                                              for (int i = 0; i < 20 && !stopping; ++i) {
                                                std::this_thread::sleep_for(50ms);
                                              }
                                              return !stopping && sink.write("z", 1);
                                            });
    } else if (packageMode == "announced") {
      response.set_content_provider(30u << 20, "application/zip",
                                    [this](size_t offset, size_t length, httplib::DataSink& sink) {
                                      std::string chunk(std::min<size_t>(length, 1 << 16), 'z');
                                      packageBytesSent += chunk.size();
                                      (void)offset;
                                      return sink.write(chunk.data(), chunk.size());
                                    });
    } else {
      response.set_content(package, "application/zip");
    }
  }

  // Starts a check and runs the queue until it ends or reaches "ready".
  void check(bool manual) {
    updater->checkForUpdates(manual);
    ASSERT_TRUE(queue.runUntil([this] {
      return !updater->isChecking() || updater->phase() == "ready";
    })) << "the check did not end";
  }

  void setLatest(const std::function<void(AppUpdateRelease&)>& edit) {
    AppUpdateRelease changed = release;
    edit(changed);
    latestBody = UpdateRelease::encode(changed).dump();
  }

  bool anyJobDirectory() const {
    if (!fs::exists(updates)) return false;
    for (const auto& entry : fs::directory_iterator(updates)) {
      if (entry.is_directory()) return true;
    }
    return false;
  }

  bool packageRequested() const {
    for (const std::string& path : server->requestedPaths()) {
      if (path == kPackagePath) return true;
    }
    return false;
  }

  void expectError() {
    EXPECT_EQ(updater->phase(), "error");
    EXPECT_FALSE(anyJobDirectory()) << "the run's job directory is left behind";
  }

  ManualMainQueue queue;
  std::unique_ptr<TestHttpsServer> server;
  std::unique_ptr<AppUpdater> updater;
  AppUpdateRelease release;
  std::string package;

  int latestStatus = 200;
  std::optional<std::string> latestBody;
  std::string packageMode = "file";
  std::atomic<size_t> packageBytesSent{0};
  std::atomic<bool> stopping{false};
  std::chrono::system_clock::time_point now = std::chrono::system_clock::now();
  std::chrono::milliseconds downloadDeadline{std::chrono::minutes(30)};
  std::string queriedArch;
  std::string queriedPlatform;

  bool writable = true;
  bool terminated = false;
  std::vector<std::string> launched;
  std::vector<std::string> launchArguments;
  fs::perms installerCopyMode{};
  std::vector<std::string> phases;
};

TEST_F(AppUpdaterTest, NoContentIsCurrentAndTheQueryNamesThisBuild) {
  latestStatus = 204;
  check(false);
  EXPECT_EQ(phases, (std::vector<std::string>{"checking", "current"}));
  EXPECT_EQ(queriedArch, "x86_64");
  EXPECT_EQ(queriedPlatform, "linux");
  EXPECT_FALSE(anyJobDirectory());
}

TEST_F(AppUpdaterTest, AServerTheSystemDoesNotTrustIsAnError) {
  latestStatus = 204;
  updater = makeUpdater(running, /*trustTestCertificate=*/false);
  check(true);
  EXPECT_EQ(updater->phase(), "error");
}

TEST_F(AppUpdaterTest, ReleasesThatDoNotApplyAreCurrent) {
  setLatest([](AppUpdateRelease& r) { r.build = 100; });
  check(false);
  EXPECT_EQ(updater->phase(), "current");
  setLatest([](AppUpdateRelease& r) { r.architecture = "aarch64"; });
  check(false);
  EXPECT_EQ(updater->phase(), "current");
  setLatest([](AppUpdateRelease& r) { r.platform = "macos"; });
  check(false);
  EXPECT_EQ(updater->phase(), "current");
  EXPECT_FALSE(packageRequested());
}

TEST_F(AppUpdaterTest, ANonNumericRunningBuildCountsAsZero) {
  RunningApp odd = running;
  odd.values.version = "dev";
  updater = makeUpdater(odd);
  setLatest([](AppUpdateRelease& r) {
    r.build = 1;
    r.architecture = "universal";
  });
  check(true);
  EXPECT_TRUE(packageRequested());
  EXPECT_EQ(updater->state().availableVersion, "1.1.0 (1)");
}

TEST_F(AppUpdaterTest, UnacceptableDownloadAddressesFail) {
  for (const char* url :
       {"https://evil.test/v1/app/updates/packages/nimbra-101.zip",
        "http://updates.nimbra.test/v1/app/updates/packages/nimbra-101.zip",
        "https://updates.nimbra.test:8443/v1/app/updates/packages/nimbra-101.zip",
        "https://user@updates.nimbra.test/v1/app/updates/packages/nimbra-101.zip",
        "https://updates.nimbra.test/v1/app/other/nimbra-101.zip",
        "https://updates.nimbra.test/v1/app/updates/packages/../../secret", "not a url"}) {
    SCOPED_TRACE(url);
    setLatest([url](AppUpdateRelease& r) { r.downloadUrl = url; });
    check(true);
    expectError();
  }
  EXPECT_FALSE(packageRequested());
  EXPECT_EQ(updater->state().availableVersion, std::nullopt);
}

TEST_F(AppUpdaterTest, TheAnnouncedSizeMustLieWithinTheLimit) {
  for (int64_t size : {int64_t{0}, int64_t{26214401}}) {
    setLatest([size](AppUpdateRelease& r) { r.size = size; });
    check(true);
    expectError();
  }
  EXPECT_FALSE(packageRequested());
  setLatest([](AppUpdateRelease& r) { r.size = 26214400; });
  check(true);
  // Accepted and downloaded; the package then is not that size.
  EXPECT_EQ(phases.back(), "error");
  EXPECT_NE(std::find(phases.begin(), phases.end(), "verifying"), phases.end());
  expectError();
}

TEST_F(AppUpdaterTest, RedirectsAreNotFollowed) {
  latestStatus = 302;
  check(true);
  expectError();
  EXPECT_FALSE(packageRequested());
  latestStatus = 200;
  packageMode = "redirect";
  check(true);
  expectError();
  // Two queries and one package request; neither Location was followed.
  EXPECT_EQ(server->requestedPaths().size(), 3u);
}

TEST_F(AppUpdaterTest, APackageGrowingPastTheLimitIsCutOff) {
  packageMode = "growing";
  check(true);
  expectError();
  EXPECT_LT(packageBytesSent.load(), size_t{40} << 20);
}

TEST_F(AppUpdaterTest, AnAnnouncedLengthPastTheLimitIsCutOff) {
  packageMode = "announced";
  check(true);
  expectError();
  EXPECT_LT(packageBytesSent.load(), size_t{26214400});
}

// The overall deadline is the only way this download can end, so the verdict does not
// depend on the machine's speed; the program's deadline is 30 minutes, shortened here.
TEST_F(AppUpdaterTest, ATricklingDownloadEndsInErrorAtTheDeadline) {
  packageMode = "trickle";
  downloadDeadline = 1500ms;
  updater = makeUpdater(running);
  check(true);
  expectError();
}

TEST_F(AppUpdaterTest, BadReleaseDocumentsFail) {
  latestBody = R"({"schemaVersion": 1})";
  check(false);
  expectError();
  latestBody = std::string(16385, ' ');
  check(false);
  expectError();
  latestStatus = 500;
  check(false);
  expectError();
}

TEST_F(AppUpdaterTest, AFailedBuildIsSkippedAutomaticallyButNotManually) {
  UpdateSupport::recordFailedBuild(updates, 101);
  check(false);
  EXPECT_EQ(updater->phase(), "rollback");
  EXPECT_FALSE(packageRequested());
  check(true);
  EXPECT_TRUE(packageRequested());
  EXPECT_EQ(updater->phase(), "ready");
}

// A build whose installation could not begin (its bundle could not be moved next to the
// target) is left alone by automatic checks for an hour after the first failure, two after
// the second; a manual check still tries it.
TEST_F(AppUpdaterTest, AutomaticChecksBackOffABuildWhoseInstallationCouldNotBegin) {
  const auto hour = std::chrono::hours(1);
  UpdateSupport::recordInstallFailure(updates, 101, now);
  struct Case {
    std::chrono::system_clock::duration after;
    bool manual;
    const char* phase;
  };
  for (const Case& c : {Case{hour / 2, false, "rollback"}, Case{hour / 2, true, "ready"},
                        Case{hour + std::chrono::minutes(1), false, "ready"}}) {
    auto saved = now;
    now += c.after;
    updater = makeUpdater(running);
    check(c.manual);
    EXPECT_EQ(updater->phase(), c.phase);
    now = saved;
  }
  UpdateSupport::recordInstallFailure(updates, 101, now);
  now += hour + std::chrono::minutes(1);
  updater = makeUpdater(running);
  check(false);
  EXPECT_EQ(updater->phase(), "rollback");
}

TEST_F(AppUpdaterTest, ASecondCheckDuringARunDoesNothing) {
  latestStatus = 204;
  updater->checkForUpdates(false);
  updater->checkForUpdates(true);
  ASSERT_TRUE(queue.runUntil([this] { return !updater->isChecking(); }));
  EXPECT_EQ(server->requestedPaths().size(), 1u);
  EXPECT_EQ(phases, (std::vector<std::string>{"checking", "current"}));
}

TEST_F(AppUpdaterTest, AutomaticChecksRunAtOnceAndHourly) {
  latestStatus = 204;
  updater->startAutomaticChecks();
  updater->startAutomaticChecks();
  ASSERT_TRUE(queue.runUntil([this] { return !updater->isChecking(); }));
  EXPECT_EQ(server->requestedPaths().size(), 1u);
  queue.advance(std::chrono::hours(1));
  ASSERT_TRUE(queue.runUntil([this] { return !updater->isChecking(); }));
  EXPECT_EQ(server->requestedPaths().size(), 2u);
}

TEST_F(AppUpdaterTest, WaitsWhileInstallingIsNotAllowedThenHandsOver) {
  bool allowed = false;
  updater->setCanInstall([&allowed] { return allowed; });
  check(true);
  ASSERT_EQ(updater->phase(), "ready");
  queue.advance(5s);
  EXPECT_EQ(updater->phase(), "waiting");
  queue.advance(2s);
  EXPECT_EQ(updater->phase(), "waiting");
  fs::path job;
  for (const auto& entry : fs::directory_iterator(updates)) {
    if (entry.is_directory()) job = entry.path();
  }
  ASSERT_FALSE(job.empty());
  EXPECT_FALSE(fs::exists(job / "job.json"));
  EXPECT_FALSE(fs::exists(job / "UpdateInstaller"));
  EXPECT_TRUE(launched.empty());

  allowed = true;
  queue.advance(2s);
  EXPECT_EQ(updater->phase(), "installing");
  EXPECT_TRUE(terminated);
  ASSERT_EQ(launched, std::vector<std::string>{(job / "UpdateInstaller").string()});
  EXPECT_EQ(launchArguments, std::vector<std::string>{(job / "job.json").string()});
  EXPECT_EQ(installerCopyMode, fs::perms(0700));
  EXPECT_EQ(readAll(job / "UpdateInstaller"), readAll(Bundle::installer(running.bundle)));
  EXPECT_EQ(fs::status(job / "job.json").permissions() & fs::perms::all, fs::perms(0600));

  auto document = nlohmann::ordered_json::parse(readAll(job / "job.json"));
  std::vector<std::string> keys;
  for (const auto& item : document.items()) keys.push_back(item.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"id", "parentPID", "target", "stagedApp", "archive",
                                            "release"}));
  EXPECT_EQ(document["parentPID"], ::getpid());
  EXPECT_EQ(document["target"], running.bundle.string());
  EXPECT_EQ(document["stagedApp"], (job / "unpacked" / "nimbra.app").string());
  EXPECT_EQ(document["archive"], (job / "update.zip").string());
  EXPECT_EQ(document["release"].dump(), UpdateRelease::encode(release).dump());
  EXPECT_FALSE(document["release"].contains("packageFormat"));

  // Nothing more starts once the program is quitting for the installer.
  updater->checkForUpdates(true);
  EXPECT_FALSE(updater->isChecking());
}

TEST_F(AppUpdaterTest, AFolderTheUserCannotWriteEndsInPermission) {
  writable = false;
  check(true);
  EXPECT_EQ(updater->phase(), "permission");
  EXPECT_FALSE(anyJobDirectory());
}

TEST_F(AppUpdaterTest, AMissingInstallerFails) {
  fs::remove(Bundle::installer(running.bundle));
  signer.sign(running.bundle);
  check(true);
  queue.advance(5s);
  expectError();
  EXPECT_TRUE(launched.empty());
}

TEST_F(AppUpdaterTest, TheHealthMarkerIsWrittenOnlyForAJobId) {
  const std::string id = "0A1B2C3D-4E5F-4A6B-8C7D-8E9F0A1B2C3D";
  updater->writeHealthMarker({"--other"});
  updater->writeHealthMarker({"--zuvo-update-health"});
  updater->writeHealthMarker({"--zuvo-update-health", "not-a-uuid"});
  EXPECT_FALSE(fs::exists(updates));
  updater->writeHealthMarker({"--zuvo-update-health", "0a1b2c3d-4e5f-4a6b-8c7d-8e9f0a1b2c3d"});
  updater->writeHealthMarker({"--zuvo-update-health", id});
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(updates)) files.push_back(entry.path());
  ASSERT_EQ(files, std::vector<fs::path>{updates / ("health-" + id + ".json")});
  EXPECT_EQ(readAll(files[0]), R"({"build":"100","job":")" + id + R"("})");
}

// Every path below `folder` with its type, mode and content.
std::map<std::string, std::string> snapshot(const fs::path& folder) {
  std::map<std::string, std::string> items;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    struct stat info {};
    ::lstat(entry.path().c_str(), &info);
    std::string content = S_ISREG(info.st_mode) ? readAll(entry.path()) : std::string();
    items[entry.path().string()] = std::to_string(info.st_mode) + ":" + content;
  }
  return items;
}

// Where updates come from, by where the program runs and whether the build has a server.
TEST(UpdateSourceTest, FollowsTheServerAndWhereTheProgramLives) {
  struct Case {
    const char* name;
    const char* baseUrl;
    RunningApp running;
    UpdateSource source;
  };
  const std::string server = std::string("https://") + kHost;
  const RunningApp bundle{"/home/u/.local/opt/nimbra.app", true, {}};
  const RunningApp bundleUnderUsr{"/usr/lib/nimbra/nimbra.app", true, {}};
  for (const Case& c : {
           Case{"bundle with a server", server.c_str(), bundle, UpdateSource::server},
           Case{"bundle without a server", "", bundle, UpdateSource::none},
           Case{"bundle that lies under /usr", server.c_str(), bundleUnderUsr,
                UpdateSource::server},
           Case{"Debian package", server.c_str(), RunningApp::forExecutable("/usr/bin/nimbra"),
                UpdateSource::systemPackage},
           Case{"Debian package of a build without a server", "",
                RunningApp::forExecutable("/usr/bin/nimbra"), UpdateSource::systemPackage},
           Case{"build tree with a server", server.c_str(),
                RunningApp::forExecutable("/work/nimbra/build/default/src/nimbra"),
                UpdateSource::server},
           Case{"a folder named like /usr", server.c_str(),
                RunningApp::forExecutable("/usrlocal/bin/nimbra"), UpdateSource::server},
       }) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(updateSourceFor(c.baseUrl, c.running), c.source);
  }
}

TEST_F(AppUpdaterTest, WithoutAServerOrInstalledByThePackageManagerNothingIsAsked) {
  struct Case {
    const char* name;
    RunningApp running;
    std::string baseUrl;
    UpdateSource source;
  };
  for (const Case& c : {Case{"no update server", running, "", UpdateSource::none},
                        Case{"system package", RunningApp::forExecutable("/usr/bin/nimbra"),
                             std::string("https://") + kHost, UpdateSource::systemPackage}}) {
    SCOPED_TRACE(c.name);
    updater = makeUpdater(c.running, true, c.baseUrl);
    phases.clear();
    updater->startAutomaticChecks();
    updater->checkForUpdates(true);
    queue.runPending();
    EXPECT_EQ(updater->source(), c.source);
    EXPECT_EQ(updater->phase(), "idle");
    EXPECT_TRUE(phases.empty()) << "a phase was shown";
    EXPECT_FALSE(updater->isChecking());
    EXPECT_FALSE(updater->hasTimer()) << "no hourly check";
    EXPECT_TRUE(server->requestedPaths().empty()) << "the update server was asked";
  }
}

TEST_F(AppUpdaterTest, AProgramNotRunningFromASignedBundleEndsInPermission) {
  struct Case {
    const char* name;
    fs::path executable;
  };
  for (const Case& c : {Case{"build tree", root / "build" / "src" / "nimbra"},
                        Case{"program next to its installer", root / "home" / "bin" / "nimbra"}}) {
    SCOPED_TRACE(c.name);
    fs::path folder = c.executable.parent_path();
    writeText(c.executable, elfExecutable(EM_X86_64), 0755);
    writeText(folder / "UpdateInstaller", elfExecutable(EM_X86_64), 0755);
    writeText(folder / "notes.txt", "the user's own file");
    std::map<std::string, std::string> before = snapshot(folder.parent_path());
    updater = makeUpdater(RunningApp::forExecutable(c.executable));
    check(true);
    EXPECT_EQ(updater->phase(), "permission");
    EXPECT_FALSE(packageRequested());
    EXPECT_FALSE(fs::exists(updates)) << "something was written";
    EXPECT_EQ(snapshot(folder.parent_path()), before);
    EXPECT_TRUE(launched.empty());
  }
}

TEST_F(AppUpdaterTest, APackageFromAForgedKeyWithTheRunningKeyIdIsNotInstalled) {
  TestSigner forger(signer.keyIdBytes());
  for (bool prehashed : {true, false}) {
    fs::remove_all(root / "forged");
    fs::path bundle = newBundle("forged");
    forger.sign(bundle, prehashed);
    fs::path zip = root / "forged.zip";
    release = packageOf(entriesOf(bundle.parent_path(), ""), zip);
    package = readAll(zip);
    std::map<std::string, std::string> before = snapshot(running.bundle.parent_path());
    check(true);
    queue.advance(10s);
    expectError();
    EXPECT_TRUE(launched.empty());
    EXPECT_EQ(snapshot(running.bundle.parent_path()), before);
  }
}

// Rotation: the running bundle (signed by the old key) lists the new key in its Info.json,
// so a package signed by the new key alone goes all the way to the installer.
TEST_F(AppUpdaterTest, APackageSignedByAKeyTheRunningBundleListsIsHandedOver) {
  TestSigner next;
  listUpdateKeys(running.bundle, {next.keyLine()});
  signer.sign(running.bundle);
  running = RunningApp{running.bundle, true, *Bundle::readValues(running.bundle)};
  fs::remove_all(root / "source");
  fs::path bundle = newBundle();
  next.sign(bundle);
  fs::path zip = root / "rotated.zip";
  release = packageOf(entriesOf(bundle.parent_path(), ""), zip);
  package = readAll(zip);
  updater = makeUpdater(running);
  check(true);
  queue.advance(5s);
  EXPECT_EQ(updater->phase(), "installing");
  EXPECT_EQ(launched.size(), 1u);
}

TEST_F(AppUpdaterTest, StateUsesTheBundleValues) {
  RunningApp bare = running;
  bare.values.shortVersion.reset();
  updater = makeUpdater(bare);
  AppUpdater::State state = updater->state();
  EXPECT_EQ(state.version, "—");
  EXPECT_EQ(state.build, "100");
  EXPECT_EQ(state.phase, "idle");
  EXPECT_TRUE(state.automatic);
}

}  // namespace
}  // namespace nimbra::test
