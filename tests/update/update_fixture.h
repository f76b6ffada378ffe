#pragma once

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <elf.h>
#include <gtest/gtest.h>

#include "support/temporary_folder.h"
#include "support/update_bundle.h"
#include "update/bundle.h"
#include "update/release.h"

namespace nimbra::test {

// A scratch folder with a running bundle (1.0.0, build 100, signed by `signer`) and a way
// to build update packages from it. Removed at the end of each test.
class UpdateFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    updates = root / "Updates";
    std::filesystem::path bundle =
        makeBundle(root / "installed", goodValues("1.0.0", "100"), elfExecutable(EM_X86_64));
    signer.sign(bundle);
    running = RunningApp{bundle, true, *Bundle::readValues(bundle)};
  }

  // The new bundle (1.1.0, build 101) in its own folder, signed by `signer`.
  std::filesystem::path newBundle(const std::string& folder = "source") {
    std::filesystem::path bundle =
        makeBundle(root / folder, goodValues("1.1.0", "101"), elfExecutable(EM_X86_64));
    return bundle;
  }

  // Zips `entries` as "update.zip" in `folder` and returns the release describing it.
  AppUpdateRelease packageOf(const std::vector<ZipEntry>& entries,
                             const std::filesystem::path& zip) {
    writeZip(zip, entries);
    AppUpdateRelease release;
    release.schemaVersion = 1;
    release.version = "1.1.0";
    release.build = 101;
    release.architecture = UpdateRelease::buildArchitecture();
    release.minSystemVersion = "2.17";
    release.size = static_cast<int64_t>(std::filesystem::file_size(zip));
    release.sha256 = sha256File(zip);
    release.platform = "linux";
    release.updateProtocol = 2;
    release.downloadUrl = "https://updates.nimbra.test/v1/app/updates/packages/nimbra-101.zip";
    return release;
  }

  // Every path below the scratch folder outside `except`.
  std::set<std::string> filesOutside(const std::filesystem::path& except) const {
    std::set<std::string> paths;
    for (auto it = std::filesystem::recursive_directory_iterator(root);
         it != std::filesystem::recursive_directory_iterator(); ++it) {
      if (it->path() == except) {
        it.disable_recursion_pending();
        continue;
      }
      paths.insert(it->path().string());
    }
    return paths;
  }

  testing::TemporaryFolder folder{"nimbra-update"};
  std::filesystem::path root = folder.path();
  std::filesystem::path updates;
  TestSigner signer;
  RunningApp running;
};

}  // namespace nimbra::test
