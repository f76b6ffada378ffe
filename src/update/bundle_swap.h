#pragma once

#include <filesystem>
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

// Atomically trades the names of two existing entries of one file system
// (renameat2 RENAME_EXCHANGE). Where the file system cannot, falls back to three renames
// through a temporary name, putting things back if a later one fails.
Status exchange(const std::filesystem::path& a, const std::filesystem::path& b);

// Moves `from` to `to` (which must not exist): a rename, or, across file systems, a copy
// beside `to` followed by a rename, so `to` never holds a partial tree.
Status moveTree(const std::filesystem::path& from, const std::filesystem::path& to);

// The program to start in `bundle`: "Contents/bin/nimbra".
std::filesystem::path programIn(const std::filesystem::path& bundle);

// Whether `path` is a real folder (not a link) named "nimbra.app" holding a plain
// "Contents/Info.json": the only kind of target an installation may replace.
bool isBundleFolder(const std::filesystem::path& path);

// Holds the job's lock for the life of the installer; true when taken. `fd` stays open.
bool lockJob(const std::filesystem::path& jobDirectory, int& fd);

// At start: settles every job in the update directory whose run and installer are gone (a
// job without "job.json" is the leftover of a run killed mid-download and is removed). A bundle
// swapped in that never left its health marker is exchanged back and its build recorded
// as failed; a health-proven one keeps its place; leftovers and the job are removed.
void recoverInterruptedInstalls(const std::filesystem::path& updateDirectory);

}  // namespace nimbra::BundleSwap
