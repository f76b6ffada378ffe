#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/error.h"
#include "update/bundle.h"
#include "update/code_signature.h"
#include "update/release.h"
#include "update/zip_extract.h"

// The updater's operations on files and processes: proving a package is the announced
// one, staging the bundle from it and checking that bundle, the update directory, the
// failed-builds list and the health marker. No state; verifyArchive, unpackArchive and
// verifyStagedApp may run on any thread, the rest too unless said otherwise.
namespace nimbra::UpdateSupport {

inline constexpr char kFailedBuildsFile[] = "failed-builds.json";
inline constexpr size_t kMaxFailedBuilds = 20;
inline constexpr char kHealthSwitch[] = "--zuvo-update-health";

// "com.zuvo.devicecenter/Updates" in the user's cache folder (UserFolders::Folder::cache);
// absent when there is none.
std::optional<std::filesystem::path> updateDirectory();

// The package has the announced size, platform and protocol, and its SHA-256 equals the
// announced one in either letter case.
Status verifyArchive(const std::filesystem::path& package, const AppUpdateRelease& release);

// A package may unpack to at most this many times its announced size (a bundle packs to
// about a third of its size), so a small hostile package cannot fill the cache.
inline constexpr uint64_t kMaxUnpackFactor = 8;
// `base` with its byte cap lowered to kMaxUnpackFactor times the release's size.
ZipExtract::Limits unpackLimits(const AppUpdateRelease& release, ZipExtract::Limits base = {});

// "nimbra.app" extracted from the package into `destination` (which must exist) for the
// format "zip"; any other format fails with "不支持的更新包格式。". On failure `destination`
// is removed with everything in it.
Status unpackArchive(const std::filesystem::path& package, const std::filesystem::path& destination,
                     const std::string& format, const ZipExtract::Limits& limits = {});

// The staged bundle is the release, runs here and is signed by one of `anchors`. Nothing is
// read through a link: first the shape (the bundle a real folder, "Contents/Info.json" and
// "Contents/bin/nimbra" plain files; otherwise "镜像内缺少 nimbra.app。" or the identity
// error), then the links inside the bundle, then identity, minimum glibc, ELF machine and
// the signature.
Status verifyStagedApp(const std::filesystem::path& staged, const AppUpdateRelease& release,
                       const CodeSignature::TrustAnchors& anchors);
// The same with the anchors of `running`; a running program that may not install updates
// fails with "无法检查应用签名身份。".
Status verifyStagedApp(const std::filesystem::path& staged, const AppUpdateRelease& release,
                       const RunningApp& running);

// The folder exists, with any missing parents, and is 0700.
Status ensurePrivateDirectory(const std::filesystem::path& directory);

// Runs `tool` with `arguments`, output to /dev/null, and waits; a non-zero exit fails with
// "更新文件处理失败。", a start failure with the system's error.
Status runTool(const std::filesystem::path& tool, const std::vector<std::string>& arguments);

// Starts `program` with `arguments` in a session of its own, output to /dev/null, without
// waiting for it. Returns its process id.
Result<int> launchDetached(const std::filesystem::path& program,
                           const std::vector<std::string>& arguments);

// Build numbers whose installation failed, oldest first; empty when the list is missing
// or unreadable.
std::vector<int64_t> failedBuilds(const std::filesystem::path& updateDirectory);
// Adds `build` unless present, keeping the newest kMaxFailedBuilds. Never fails.
void recordFailedBuild(const std::filesystem::path& updateDirectory, int64_t build);

// A build whose installation could not even begin (its bundle could not be brought next to
// the target: a full disk) is counted, with the time, in "install-failures.json"; after k
// such failures automatic checks leave that build alone for 2^(k-1) hours (at most a day)
// after the last one. Never fails.
inline constexpr char kInstallFailuresFile[] = "install-failures.json";
void recordInstallFailure(
    const std::filesystem::path& updateDirectory, int64_t build,
    std::chrono::system_clock::time_point now = std::chrono::system_clock::now());
bool installBackingOff(const std::filesystem::path& updateDirectory, int64_t build,
                       std::chrono::system_clock::time_point now);

// With "--zuvo-update-health" followed by a UUID among `arguments`, writes
// "health-<UUID>.json" ({"build", "job"}) into the update directory; otherwise nothing.
// Never fails.
void writeHealthMarker(const std::vector<std::string>& arguments,
                       const std::filesystem::path& updateDirectory, const std::string& build);
std::filesystem::path healthMarker(const std::filesystem::path& updateDirectory,
                                   const std::string& jobId);

// A dot-separated version read as its first three decimal numbers (missing patch = 0);
// parts that are empty or not numbers are dropped. Absent with fewer than two numbers.
std::optional<std::array<long, 3>> systemVersion(const std::string& text);

}  // namespace nimbra::UpdateSupport
