#pragma once

#include <filesystem>
#include <functional>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

namespace nimbra::testing {

// A 256 KiB tmpfs mounted over a test's folder, for the stores' full-disk and read-only cases:
// a test fills it to the last page or remounts it read-only (which binds root too). Mounting
// needs root; `mounted()` says whether it worked so the test can skip. Unmounted (detached) on
// destruction, after whatever wrote into it has been destroyed.
class SmallDisk {
 public:
  // One way the disk refuses writes, and its undoing.
  struct Fault {
    const char* name;
    std::function<void()> on, off;
  };

  explicit SmallDisk(std::filesystem::path folder) : folder_(std::move(folder)) {
    mounted_ = ::mount("tmpfs", folder_.c_str(), "tmpfs", 0, kOptions) == 0;
  }
  ~SmallDisk() {
    if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
  }
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;

  bool mounted() const { return mounted_; }

  // Writes a filler file until the disk takes no more.
  void fill() {
    int fd = ::open(filler().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    char page[4096] = {};
    while (::write(fd, page, sizeof page) > 0) {
    }
    ::close(fd);
  }
  void free() { std::filesystem::remove(filler()); }
  void readOnly(bool on) {
    unsigned long flags = MS_REMOUNT | (on ? MS_RDONLY : 0);
    ASSERT_EQ(::mount("tmpfs", folder_.c_str(), "tmpfs", flags, kOptions), 0);
  }

  // The full disk, then the read-only one.
  std::vector<Fault> faults() {
    return {{"full disk", [this] { fill(); }, [this] { free(); }},
            {"read-only", [this] { readOnly(true); }, [this] { readOnly(false); }}};
  }

 private:
  static constexpr char kOptions[] = "size=256k,mode=0700";
  std::filesystem::path filler() const { return folder_ / "filler"; }

  std::filesystem::path folder_;
  bool mounted_ = false;
};

}  // namespace nimbra::testing
