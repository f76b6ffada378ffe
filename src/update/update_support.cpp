#include "update/update_support.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <system_error>

#include <fcntl.h>
#include <gnu/libc-version.h>
#include <nlohmann/json.hpp>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/file_error.h"
#include "core/file_system.h"
#include "core/hex.h"
#include "core/sha256.h"
#include "core/user_folders.h"
#include "core/uuid.h"
#include "update/code_signature.h"
#include "update/elf_check.h"
#include "update/update_error.h"

extern char** environ;

namespace nimbra::UpdateSupport {
namespace {

namespace fs = std::filesystem;

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

Status checkIdentity(const fs::path& staged, const AppUpdateRelease& release) {
  std::optional<BundleValues> values = Bundle::readValues(staged);
  bool matches = values && values->identifier == Bundle::kIdentifier &&
                 values->executable == Bundle::kExecutable &&
                 values->shortVersion == release.version && values->version &&
                 UpdateRelease::parseInteger(*values->version) == release.build &&
                 values->minimumSystem == release.minSystemVersion &&
                 (release.architecture == UpdateRelease::buildArchitecture() ||
                  release.architecture == "universal");
  return matches ? Status() : updateError(kIdentityMismatch);
}

Status checkSystem(const std::string& minimum) {
  std::optional<std::array<long, 3>> wanted = systemVersion(minimum);
  std::optional<std::array<long, 3>> running = systemVersion(gnu_get_libc_version());
  if (!wanted || !running || *running < *wanted) return updateError(kSystemTooOld);
  return {};
}

Status checkArchitecture(const fs::path& staged) {
  fs::path executable = Bundle::executable(staged);
  int fd = ::open(executable.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0) return fileError(errno, FileOperation::read, executable.string());
  uint8_t header[4096];
  ssize_t got = ::read(fd, header, sizeof header);
  int readErrno = errno;
  ::close(fd);
  if (got < 0) return fileError(readErrno, FileOperation::read, executable.string());
  if (!ElfCheck::runsOn(std::span(header, static_cast<size_t>(got)), ElfCheck::buildMachine())) {
    return updateError(kWrongArchitecture);
  }
  return {};
}

Status checkLinks(const fs::path& staged) {
  std::error_code error;
  fs::path rootPath = fs::weakly_canonical(staged, error);
  if (error) return {};
  std::string root = rootPath.string() + "/";
  std::error_code walkError;
  for (fs::recursive_directory_iterator walk(staged, walkError), end; !walkError && walk != end;
       walk.increment(walkError)) {
    if (!walk->is_symlink(error)) continue;
    fs::path resolved = fs::weakly_canonical(walk->path(), error);
    if (error || !resolved.string().starts_with(root)) return updateError(kLinkOutside);
  }
  // A bundle that cannot be walked further is left to the signature check.
  return {};
}

// Before anything is read from the staged bundle: the bundle is a real folder and the files
// read next are plain files reached through real folders, so no check reads through a link.
Status checkShape(const fs::path& staged) {
  Result<FileStatus> bundle = linkStatus(staged);
  if (!bundle) {
    Result<bool> exists = fileExists(staged);
    if (exists && !*exists) return updateError(kIdentityMismatch);
    return bundle.error();
  }
  if (!bundle->isDirectory) return updateError(kNoAppInPackage);
  const fs::path contents = staged / "Contents";
  for (const auto& [path, directory] :
       {std::pair{contents, true}, std::pair{Bundle::infoFile(staged), false},
        std::pair{contents / "bin", true}, std::pair{Bundle::executable(staged), false}}) {
    Result<FileStatus> status = linkStatus(path);
    if (!status || (directory ? !status->isDirectory : !status->isRegular)) {
      return updateError(kIdentityMismatch);
    }
  }
  return {};
}

std::vector<std::string> spawnArguments(const fs::path& program,
                                        const std::vector<std::string>& arguments) {
  std::vector<std::string> all{program.string()};
  all.insert(all.end(), arguments.begin(), arguments.end());
  return all;
}

Result<pid_t> spawn(const fs::path& program, const std::vector<std::string>& arguments,
                    bool newSession) {
  std::vector<std::string> all = spawnArguments(program, arguments);
  std::vector<char*> argv;
  for (std::string& argument : all) argv.push_back(argument.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  if (newSession) posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  pid_t pid = 0;
  int failure = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (failure != 0) return Error::posix(failure, program.string());
  return pid;
}

}  // namespace

std::optional<fs::path> updateDirectory() {
  std::optional<fs::path> cache = UserFolders::folder(UserFolders::Folder::cache);
  if (!cache) return std::nullopt;
  return *cache / Bundle::kIdentifier / "Updates";
}

Status verifyArchive(const fs::path& package, const AppUpdateRelease& release) {
  Result<FileStatus> status = linkStatus(package);
  if (!status) return status.error();
  if (!status->isRegular || !UpdateRelease::sizeAcceptable(release.size) ||
      status->size != static_cast<uint64_t>(release.size) ||
      release.platform != UpdateRelease::kPlatform ||
      release.updateProtocol != UpdateRelease::kProtocol) {
    return updateError(kSizeOrPlatform);
  }
  Result<std::string> bytes = readFile(package);
  if (!bytes) return bytes.error();
  auto data = std::span(reinterpret_cast<const uint8_t*>(bytes->data()), bytes->size());
  if (hexString(sha256(data)) != lower(release.sha256)) return updateError(kDigestMismatch);
  return {};
}

ZipExtract::Limits unpackLimits(const AppUpdateRelease& release, ZipExtract::Limits base) {
  uint64_t announced = release.size > 0 ? static_cast<uint64_t>(release.size) : 0;
  base.maxBytes = std::min(base.maxBytes, announced * kMaxUnpackFactor);
  return base;
}

Status unpackArchive(const fs::path& package, const fs::path& destination,
                     const std::string& format, const ZipExtract::Limits& limits) {
  if (format != "zip") return updateError(kUnsupportedFormat);
  Status status = ZipExtract::extract(package, destination, limits);
  if (!status) {
    // A bomb stopped midway still leaves a large file behind.
    std::error_code ignored;
    fs::remove_all(destination, ignored);
  }
  return status;
}

Status verifyStagedApp(const fs::path& staged, const AppUpdateRelease& release,
                       const CodeSignature::TrustAnchors& anchors) {
  if (Status status = checkShape(staged); !status) return status;
  if (Status status = checkLinks(staged); !status) return status;
  if (Status status = checkIdentity(staged, release); !status) return status;
  if (Status status = checkSystem(release.minSystemVersion); !status) return status;
  if (Status status = checkArchitecture(staged); !status) return status;
  Result<std::string> team = CodeSignature::signingTeam(staged, anchors);
  if (!team) return team.error();
  return {};
}

Status verifyStagedApp(const fs::path& staged, const AppUpdateRelease& release,
                       const RunningApp& running) {
  Result<std::optional<CodeSignature::TrustAnchors>> anchors = CodeSignature::trustAnchors(running);
  if (!anchors) return anchors.error();
  if (!*anchors) return updateError(kSigningInfoUnavailable);
  return verifyStagedApp(staged, release, **anchors);
}

Status ensurePrivateDirectory(const fs::path& directory) {
  if (Status status = createDirectories(directory, 0700); !status) return status;
  return setPermissions(directory, 0700);
}

Status runTool(const fs::path& tool, const std::vector<std::string>& arguments) {
  Result<pid_t> pid = spawn(tool, arguments, false);
  if (!pid) return pid.error();
  int status = 0;
  while (::waitpid(*pid, &status, 0) < 0) {
    if (errno != EINTR) return Error::posix(errno, tool.string());
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return updateError(kToolFailed);
  return {};
}

Result<int> launchDetached(const fs::path& program, const std::vector<std::string>& arguments) {
  Result<pid_t> pid = spawn(program, arguments, true);
  if (!pid) return pid.error();
  return static_cast<int>(*pid);
}

std::vector<int64_t> failedBuilds(const fs::path& updateDirectory) {
  Result<std::string> text = readFile(updateDirectory / kFailedBuildsFile);
  if (!text) return {};
  nlohmann::json list = nlohmann::json::parse(*text, nullptr, false);
  if (!list.is_array()) return {};
  std::vector<int64_t> builds;
  for (const nlohmann::json& item : list) {
    if (!item.is_number_integer()) return {};
    builds.push_back(item.get<int64_t>());
  }
  return builds;
}

void recordFailedBuild(const fs::path& updateDirectory, int64_t build) {
  std::vector<int64_t> builds = failedBuilds(updateDirectory);
  if (std::find(builds.begin(), builds.end(), build) == builds.end()) builds.push_back(build);
  if (builds.size() > kMaxFailedBuilds) {
    builds.erase(builds.begin(), builds.end() - kMaxFailedBuilds);
  }
  if (!ensurePrivateDirectory(updateDirectory)) return;
  std::string text = nlohmann::json(builds).dump();
  (void)writeFileAtomically(updateDirectory / kFailedBuildsFile,
                            std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

namespace {

struct InstallFailures {
  int64_t build = 0;
  int64_t count = 0;
  int64_t at = 0;  // seconds since 1970 of the last one
};

InstallFailures readInstallFailures(const fs::path& updateDirectory) {
  Result<std::string> text = readFile(updateDirectory / kInstallFailuresFile);
  if (!text) return {};
  nlohmann::json object = nlohmann::json::parse(*text, nullptr, false);
  InstallFailures failures;
  for (auto [key, field] : {std::pair{"build", &failures.build},
                            std::pair{"count", &failures.count}, std::pair{"at", &failures.at}}) {
    if (!object.is_object() || !object.contains(key) || !object[key].is_number_integer()) {
      return {};
    }
    *field = object[key].get<int64_t>();
  }
  return failures;
}

int64_t secondsOf(std::chrono::system_clock::time_point time) {
  return std::chrono::duration_cast<std::chrono::seconds>(time.time_since_epoch()).count();
}

}  // namespace

void recordInstallFailure(const fs::path& updateDirectory, int64_t build,
                          std::chrono::system_clock::time_point now) {
  InstallFailures failures = readInstallFailures(updateDirectory);
  if (failures.build != build) failures = InstallFailures{build, 0, 0};
  ++failures.count;
  failures.at = secondsOf(now);
  nlohmann::ordered_json object;
  object["build"] = failures.build;
  object["count"] = failures.count;
  object["at"] = failures.at;
  std::string text = object.dump();
  if (!ensurePrivateDirectory(updateDirectory)) return;
  (void)writeFileAtomically(updateDirectory / kInstallFailuresFile,
                            std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

bool installBackingOff(const fs::path& updateDirectory, int64_t build,
                       std::chrono::system_clock::time_point now) {
  InstallFailures failures = readInstallFailures(updateDirectory);
  if (failures.build != build || failures.count < 1) return false;
  int64_t hours =
      failures.count >= 6 ? 24 : std::min<int64_t>(24, int64_t{1} << (failures.count - 1));
  int64_t elapsed = secondsOf(now) - failures.at;
  return elapsed >= 0 && elapsed < hours * 3600;
}

fs::path healthMarker(const fs::path& updateDirectory, const std::string& jobId) {
  return updateDirectory / ("health-" + jobId + ".json");
}

void writeHealthMarker(const std::vector<std::string>& arguments, const fs::path& updateDirectory,
                       const std::string& build) {
  auto found = std::find(arguments.begin(), arguments.end(), kHealthSwitch);
  if (found == arguments.end() || found + 1 == arguments.end()) return;
  std::optional<Uuid> job = Uuid::parse(*(found + 1));
  if (!job || !ensurePrivateDirectory(updateDirectory)) return;
  nlohmann::ordered_json marker;
  marker["build"] = build;
  marker["job"] = job->text();
  std::string text = marker.dump();
  (void)writeFileAtomically(healthMarker(updateDirectory, job->text()),
                            std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

std::optional<std::array<long, 3>> systemVersion(const std::string& text) {
  std::vector<long> numbers;
  std::string_view rest = text;
  while (true) {
    size_t end = rest.find('.');
    std::string_view part = rest.substr(0, end);
    long number = 0;
    auto [at, error] = std::from_chars(part.data(), part.data() + part.size(), number);
    if (!part.empty() && error == std::errc() && at == part.data() + part.size() && number >= 0) {
      numbers.push_back(number);
    }
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  if (numbers.size() < 2) return std::nullopt;
  return std::array<long, 3>{numbers[0], numbers[1], numbers.size() > 2 ? numbers[2] : 0};
}

}  // namespace nimbra::UpdateSupport
