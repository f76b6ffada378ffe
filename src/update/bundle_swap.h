#pragma once

#include <filesystem>
#include <functional>
#include <string>

#include "core/error.h"

// How the installer puts a new bundle in place, and how an installation interrupted by a
// killed installer is settled at the next start. The target always holds a complete
// bundle: the old and the new one trade places in one atomic exchange.
namespace nimbra::BundleSwap {

inline constexpr char kLockFile[] = "installer.lock";

// ".<name>.update-<job id>" next to `target`: first the incoming bundle, after the
// exchange the outgoing one.
std::filesystem::path stagingPath(const std::filesystem::path& target, const std::string& jobId);

// How exchange goes about it. The installer's tests force the fallback and watch it.
struct ExchangeOptions {
  bool atomic = true;              // try renameat2 RENAME_EXCHANGE first
  std::function<void()> onParked;  // fallback: `b` was moved aside, `a` not yet in its place
};

// Atomically trades the names of two existing entries of one file system
// (renameat2 RENAME_EXCHANGE). Where the file system cannot (NFS, some FUSE), falls back to
// three renames: `b` parked under ".<name>.swap-<UUID>", `a` to `b`, the parked one to `a`;
// a failure of the second puts `b` back. Success once `a` holds `b`'s place: a failure of
// the third rename only leaves the parked entry behind (for the caller or the recovery).
Status exchange(const std::filesystem::path& a, const std::filesystem::path& b,
                const ExchangeOptions& options = {});

// Moves `from` to `to` (which must not exist): a rename, or, across file systems, a copy
// beside `to` followed by a rename, so `to` never holds a partial tree.
Status moveTree(const std::filesystem::path& from, const std::filesystem::path& to);

// The program to start in `bundle`: "Contents/bin/nimbra".
std::filesystem::path programIn(const std::filesystem::path& bundle);

// Whether `path` is a real folder (not a link) named "nimbra.app" holding a plain
// "Contents/Info.json": the only kind of target an installation may replace.
bool isBundleFolder(const std::filesystem::path& path);

// Removes the parked and staged leftovers of `jobId` next to `target` (only while the
// target holds a bundle, so a parked bundle is never the copy thrown away).
void removeLeftovers(const std::filesystem::path& target, const std::string& jobId);

// Holds the job's lock for the life of the installer; true when taken. `fd` stays open.
bool lockJob(const std::filesystem::path& jobDirectory, int& fd);

// At start: settles every job in the update directory whose run and installer are gone (a
// job without "job.json" is the leftover of a run killed mid-download and is removed). By
// the installer's recorded progress (InstallProgress): before the new bundle was proven the
// target was never touched and the staged copy is removed; once proven, the installation
// is completed (the proven bundle put at the target, a parked old one never left as the
// only copy); a build is recorded as failed only when its proof had failed. A job of an
// installer that recorded no progress is settled by what lies where: a bundle swapped in
// without its health marker is exchanged back. Leftovers and the job are removed.
void recoverInterruptedInstalls(const std::filesystem::path& updateDirectory);

}  // namespace nimbra::BundleSwap
