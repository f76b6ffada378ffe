// A bundle's "Contents/Info.json", read the way the updater reads the running bundle and a
// staged one. Values that read must write back to an Info.json that reads to the same
// values; the trusted comment and the build number built from them must not crash.
//
// Input: the file's bytes. Each run writes them into one scratch bundle made at start-up
// and removed at exit.

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>
#include <unistd.h>

#include "update/bundle.h"
#include "update/code_signature.h"
#include "update/release.h"

namespace {

namespace fs = std::filesystem;
using namespace nimbra;

void check(bool condition) {
  if (!condition) std::abort();
}

// Kept on the heap so that it outlives the static destructors run before the atexit clean-up.
const fs::path& scratchBundle() {
  static const fs::path* bundle = [] {
    char pattern[] = "/tmp/nimbra-fuzz-info-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) std::abort();
    auto* path = new fs::path(fs::path(pattern) / Bundle::kBundleName);
    fs::create_directories(*path / "Contents");
    std::atexit([] { fs::remove_all(scratchBundle().parent_path()); });
    return path;
  }();
  return *bundle;
}

void writeInfo(const fs::path& bundle, const std::string& bytes) {
  std::ofstream out(Bundle::infoFile(bundle), std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out.flush()) std::abort();
}

std::string infoText(const BundleValues& values) {
  nlohmann::json object = nlohmann::json::object();
  auto put = [&](const char* key, const std::optional<std::string>& value) {
    if (value) object[key] = *value;
  };
  put("CFBundleIdentifier", values.identifier);
  put("CFBundleExecutable", values.executable);
  put("CFBundleShortVersionString", values.shortVersion);
  put("CFBundleVersion", values.version);
  put("LSMinimumSystemVersion", values.minimumSystem);
  return object.dump();
}

bool same(const BundleValues& a, const BundleValues& b) {
  return a.identifier == b.identifier && a.executable == b.executable &&
         a.shortVersion == b.shortVersion && a.version == b.version &&
         a.minimumSystem == b.minimumSystem;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fs::path& bundle = scratchBundle();
  writeInfo(bundle, std::string(reinterpret_cast<const char*>(data), size));
  std::optional<BundleValues> values = Bundle::readValues(bundle);
  if (!values) return 0;

  (void)CodeSignature::trustedComment(*values);
  (void)UpdateRelease::buildNumber(values->version.value_or(""));

  writeInfo(bundle, infoText(*values));
  std::optional<BundleValues> again = Bundle::readValues(bundle);
  check(again && same(*again, *values));
  return 0;
}
