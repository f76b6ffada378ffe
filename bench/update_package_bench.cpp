// The checks a downloaded package goes through before it is handed to the installer, for a
// package at the 25 MiB limit: verifyArchive (size and SHA-256), unpackArchive (the zip
// into "unpacked") and verifyStagedApp (identity, glibc, ELF, links, signature and the
// manifest's digests). Goal: under 1 s.
#include <cstdlib>
#include <filesystem>
#include <random>

#include <benchmark/benchmark.h>
#include <elf.h>

#include "support/temporary_folder.h"
#include "support/update_bundle.h"
#include "update/update_support.h"

namespace {

namespace fs = std::filesystem;
using namespace nimbra;

struct Package {
  nimbra::testing::TemporaryFolder folder{"nimbra-bench"};
  fs::path root = folder.path();
  fs::path zip;
  AppUpdateRelease release;
  RunningApp running;
  test::TestSigner signer;

  Package() {
    fs::path installed = test::makeBundle(root / "installed", test::goodValues("1.0.0", "100"),
                                          test::elfExecutable(EM_X86_64));
    signer.sign(installed);
    running = RunningApp{installed, true, *Bundle::readValues(installed)};

    // Random bytes do not compress, so the package is as large as its content: a 20 MiB
    // program and a few hundred small page files, just under the limit.
    std::mt19937_64 random(7);
    std::string program = test::elfExecutable(EM_X86_64);
    while (program.size() < (20u << 20)) {
      uint64_t word = random();
      program.append(reinterpret_cast<const char*>(&word), sizeof word);
    }
    fs::path bundle = test::makeBundle(root / "source", test::goodValues("1.1.0", "101"), program);
    for (int i = 0; i < 400; ++i) {
      std::string page(12 * 1024, '\0');
      for (char& c : page) c = static_cast<char>(random());
      test::writeText(bundle / "Contents/Resources/js" / ("part" + std::to_string(i) + ".js"),
                      page);
    }
    signer.sign(bundle);
    zip = root / "update.zip";
    test::writeZip(zip, test::entriesOf(root / "source", ""));
    release.schemaVersion = 1;
    release.version = "1.1.0";
    release.build = 101;
    release.architecture = UpdateRelease::buildArchitecture();
    release.minSystemVersion = "2.17";
    release.size = static_cast<int64_t>(fs::file_size(zip));
    release.sha256 = test::sha256File(zip);
    release.platform = "linux";
    release.updateProtocol = 2;
  }
};

void BM_VerifyUnpackAndCheckPackage(benchmark::State& state) {
  Package package;
  if (package.release.size > UpdateRelease::kMaxPackageBytes) {
    state.SkipWithError("the package is over the limit");
    return;
  }
  fs::path unpacked = package.root / "unpacked";
  for (auto _ : state) {
    state.PauseTiming();
    fs::remove_all(unpacked);
    (void)UpdateSupport::ensurePrivateDirectory(unpacked);
    state.ResumeTiming();
    Status status = UpdateSupport::verifyArchive(package.zip, package.release);
    if (status) status = UpdateSupport::unpackArchive(package.zip, unpacked, "zip");
    if (status) {
      status =
          UpdateSupport::verifyStagedApp(unpacked / "nimbra.app", package.release, package.running);
    }
    if (!status) {
      state.SkipWithError(status.error().message.c_str());
      return;
    }
  }
  state.counters["package_bytes"] = static_cast<double>(package.release.size);
  state.SetBytesProcessed(state.iterations() * package.release.size);
}
BENCHMARK(BM_VerifyUnpackAndCheckPackage)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
