#include <cstdio>
#include <cstdlib>
#include <memory>

#include "core/clock.h"
#include "telemetry/telemetry.h"
#include "telemetry/telemetry_platform.h"

namespace nimbra {
namespace {

std::optional<Telemetry::SharedHooks>& sharedHooks() {
  static std::optional<Telemetry::SharedHooks> hooks;
  return hooks;
}

std::optional<LocalStorage> currentUserStorage() {
  Result<LocalStorage> storage = LocalStorage::forCurrentUser();
  if (!storage) return std::nullopt;
  return std::move(*storage);
}

std::unique_ptr<Telemetry> makeShared() {
  const std::optional<Telemetry::SharedHooks>& hooks = sharedHooks();
  if (!hooks || hooks->queue == nullptr || !hooks->installationId) {
    // A wiring mistake in the shell, found by the first run of any build.
    std::fputs("nimbra: Telemetry::shared() used before configureShared()\n", stderr);
    std::abort();
  }
  static const SystemClock clock;
  return std::make_unique<Telemetry>(Telemetry::Seams{
      .queue = *hooks->queue,
      .clock = clock,
      .uptime = TelemetryPlatform::systemUptime,
      .installationId = hooks->installationId,
      .isApplicationActive = hooks->isApplicationActive,
      .storage = currentUserStorage(),
      .endpoint = hooks->endpoint.value_or(HistoryAPI::defaultEndpoint()),
      .os = TelemetryPlatform::osDescription(),
      .appBuild = TelemetryPlatform::appBuild(),
      .appVersion = TelemetryPlatform::appVersion(),
      .enabled = hooks->enabled,
  });
}

}  // namespace

void Telemetry::configureShared(SharedHooks hooks) { sharedHooks() = std::move(hooks); }

// Never destroyed: the instance lives until the process ends, and no completion of an
// upload in flight can outlive it.
Telemetry& Telemetry::shared() {
  static Telemetry* const instance = makeShared().release();
  return *instance;
}

}  // namespace nimbra
