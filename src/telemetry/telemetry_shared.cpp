#include <cstdio>
#include <cstdlib>
#include <memory>

#include "core/clock.h"
#include "telemetry/telemetry.h"
#include "telemetry/telemetry_platform.h"

namespace nimbra {
namespace {

std::optional<LocalStorage> currentUserStorage() {
  Result<LocalStorage> storage = LocalStorage::forCurrentUser();
  if (!storage) return std::nullopt;
  return std::move(*storage);
}

}  // namespace

std::unique_ptr<Telemetry> Telemetry::createShared(SharedHooks hooks) {
  if (hooks.queue == nullptr || !hooks.installationId) {
    // A wiring mistake in the composition root, found by the first run of any build.
    std::fputs("nimbra: Telemetry::createShared() without a queue or an installation id\n", stderr);
    std::abort();
  }
  static const SystemClock clock;
  return std::make_unique<Telemetry>(Telemetry::Seams{
      .queue = *hooks.queue,
      .clock = clock,
      .uptime = TelemetryPlatform::systemUptime,
      .installationId = std::move(hooks.installationId),
      .isApplicationActive = std::move(hooks.isApplicationActive),
      .storage = currentUserStorage(),
      .endpoint = hooks.endpoint.value_or(HistoryAPI::defaultEndpoint()),
      .os = TelemetryPlatform::osDescription(),
      .appBuild = TelemetryPlatform::appBuild(),
      .appVersion = TelemetryPlatform::appVersion(),
      .enabled = hooks.enabled,
  });
}

}  // namespace nimbra
