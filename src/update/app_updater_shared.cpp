#include <cstdio>
#include <cstdlib>
#include <memory>

#include <unistd.h>

#include "nimbra/build_config.h"
#include "update/app_updater.h"
#include "update/update_support.h"

namespace nimbra {

std::unique_ptr<AppUpdater> AppUpdater::createShared(SharedHooks hooks) {
  if (hooks.queue == nullptr) {
    // A wiring mistake in the composition root, found by the first run of any build.
    std::fputs("nimbra: AppUpdater::createShared() without a queue\n", stderr);
    std::abort();
  }
  return std::make_unique<AppUpdater>(AppUpdater::Seams{
      .queue = *hooks.queue,
      .baseUrl = hooks.baseUrl.value_or(NIMBRA_UPDATE_BASE_URL),
      .transport = std::move(hooks.transport),
      .updateDirectory = UpdateSupport::updateDirectory(),
      .running = RunningApp::current(),
      .architecture = UpdateRelease::buildArchitecture(),
      .processId = static_cast<int32_t>(::getpid()),
      .isWritable =
          [](const std::filesystem::path& folder) { return ::access(folder.c_str(), W_OK) == 0; },
      .launch = [](const std::filesystem::path& program,
                   const std::vector<std::string>& arguments) -> Status {
        Result<int> pid = UpdateSupport::launchDetached(program, arguments);
        if (!pid) return pid.error();
        return {};
      },
      .terminate = std::move(hooks.terminate),
      .unpackLimits = {},
      .now = [] { return std::chrono::system_clock::now(); },
  });
}

}  // namespace nimbra
