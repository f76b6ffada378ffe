// The update server's release document and the checks the updater runs on it before it
// downloads anything. A decoded release must encode to text that decodes to the same
// release; an accepted download address must stay on the update server, over https, below
// the packages path, and be accepted again as it was returned.
//
// Input: the body of the latest-release reply, as is.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "update/release.h"
#include "update/transport.h"

namespace {

constexpr char kBaseUrl[] = "https://updates.nimbra.test";

// Names the broken invariant by its line before aborting, so a finding explains itself.
void checkAt(bool condition, int line) {
  if (condition) return;
  std::fprintf(stderr, "invariant broken at %s:%d\n", __FILE__, line);
  std::abort();
}
#define check(condition) checkAt((condition), __LINE__)

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace nimbra;
  std::string_view text(reinterpret_cast<const char*>(data), size);

  // The build texts of Info.json are read with the same integer rules.
  if (std::optional<int64_t> number = UpdateRelease::parseInteger(text)) {
    check(UpdateRelease::buildNumber(text) == *number);
    check(UpdateRelease::parseInteger(std::to_string(*number)) == number);
  } else {
    check(UpdateRelease::buildNumber(text) == 0);
  }

  Result<AppUpdateRelease> release = UpdateRelease::decode(text);
  if (!release) return 0;

  Result<AppUpdateRelease> again = UpdateRelease::decode(UpdateRelease::encode(*release).dump());
  check(again.ok() && *again == *release);

  (void)UpdateRelease::applies(*release, UpdateRelease::buildArchitecture());
  (void)release->displayVersion();
  check(UpdateRelease::sizeAcceptable(release->size) ==
        (release->size >= 1 && release->size <= UpdateRelease::kMaxPackageBytes));

  std::optional<std::string> url =
      UpdateTransport::acceptableDownloadUrl(release->downloadUrl, kBaseUrl);
  if (url) {
    std::string prefix = std::string(kBaseUrl) + UpdateRelease::kPackagesPath;
    check(url->starts_with(prefix));
    check(UpdateTransport::acceptableDownloadUrl(*url, kBaseUrl) == url);
  }
  return 0;
}
