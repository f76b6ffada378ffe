#pragma once

#include <filesystem>
#include <optional>
#include <vector>

#include "core/error.h"
#include "storage/local_storage.h"
#include "telemetry/telemetry_event.h"

namespace nimbra {

// The sealed file that keeps queued telemetry events across runs:
// "nimbra-local/Telemetry/outbox.json.sealed", whose plaintext is the JSON array of events.
// A plain "outbox.json" beside it is the legacy form and is taken over on load.
// Without storage (no home directory) every load and save fails. Main thread only.
class TelemetryOutbox {
 public:
  static constexpr char kDirectory[] = "nimbra-local/Telemetry";
  static constexpr char kSealedName[] = "outbox.json.sealed";
  static constexpr char kLegacyName[] = "outbox.json";

  // Creates the directory (0700); a failure shows up again at the first load or save.
  explicit TelemetryOutbox(std::optional<LocalStorage> storage);

  // The queued events; empty when there is no outbox yet. Any other failure (unreadable,
  // damaged, undecodable) is returned so the caller can leave the file alone.
  Result<std::vector<TelemetryEvent>> load() const;
  // Replaces the file atomically with `events`, keys in their documented order.
  Status save(const std::vector<TelemetryEvent>& events) const;

  std::filesystem::path sealedLocation() const;
  std::filesystem::path legacyLocation() const;

 private:
  Result<std::filesystem::path> directory() const;

  std::optional<LocalStorage> storage_;
};

}  // namespace nimbra
