#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

#include "core/error.h"

namespace nimbra {

// nimbra's operating-system layer: thin POSIX file operations for every subsystem (the stores,
// the updater, telemetry, the window, the tools), and the few other system calls nimbra makes
// about files and folders. Every errno passes through fileError (file_error.h), so missing files
// come back as file kinds. Any thread; no state.

struct FileStatus {
  bool isDirectory = false;
  bool isRegular = false;
  uid_t owner = 0;
  mode_t permissions = 0;  // the 07777 bits only
  uint64_t size = 0;
};

// The changes a write makes on disk, in the order it makes them. A hook given to the functions
// below hears of each just before it is made, on the writing thread; the crash-safety tests stop
// a writer at a chosen step this way. An empty hook costs one test per step.
enum class WriteStep { create, write, flush, rename, link, flushDirectory, remove };
using WriteStepHook = std::function<void(WriteStep)>;

// lstat: a symbolic link is reported as itself, never as its target.
Result<FileStatus> linkStatus(const std::filesystem::path& path);
Result<bool> fileExists(const std::filesystem::path& path);

// Reads a whole file into `out`, reusing its capacity. A missing file is readNoSuchFile.
Status readFileInto(const std::filesystem::path& path, std::string& out);
Result<std::string> readFile(const std::filesystem::path& path);

// Creates a new file that must not exist yet, with `mode` from the first moment (no window
// in which others could open it), writes `bytes`, and flushes them to disk.
Status createFileExclusive(const std::filesystem::path& path, std::span<const uint8_t> bytes,
                           mode_t mode, const WriteStepHook& steps = {});

// Replaces `path` so that a reader, a crash or a power loss sees the old or the new complete
// file, never a torn or empty one: a 0600 temporary file in the same directory, written and
// flushed, renamed over `path`, then the directory flushed. The temporary file is removed
// again on any failure.
Status writeFileAtomically(const std::filesystem::path& path, std::span<const uint8_t> bytes,
                           const WriteStepHook& steps = {});
// Whether `name` has the form of the temporary file writeFileAtomically writes beside its
// target (what a write killed before its rename leaves behind).
bool isAtomicWriteTemporary(std::string_view name);

Status removeFile(const std::filesystem::path& path, const WriteStepHook& steps = {});
Status syncDirectory(const std::filesystem::path& directory, const WriteStepHook& steps = {});
Status setPermissions(const std::filesystem::path& path, mode_t mode);

// mkdir -p where only the directories created here get `mode`; existing ones are left alone.
Status createDirectories(const std::filesystem::path& path, mode_t mode);

// Names in `directory` (without "." and ".."), in no particular order.
Result<std::vector<std::string>> listDirectory(const std::filesystem::path& directory);

// Renames `from` to `to` only while nothing (not even a dangling link) is at `to`; taken,
// it fails with writeFileExists and both stay where they were (renameat2 RENAME_NOREPLACE).
Status renameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to);
// Swaps the two entries in one step (renameat2 RENAME_EXCHANGE). Where the file system cannot
// (NFS, some FUSE) the error is the POSIX one of isExchangeUnsupported.
Status renameExchange(const std::filesystem::path& a, const std::filesystem::path& b);
bool isExchangeUnsupported(const Error& error);

// The running program's file (/proc/self/exe resolved); empty when it cannot be read.
std::filesystem::path runningExecutable();

}  // namespace nimbra
