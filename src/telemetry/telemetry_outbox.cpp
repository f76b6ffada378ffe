#include "telemetry/telemetry_outbox.h"

#include "storage/storage_error.h"

namespace nimbra {
namespace {

Error noStorage() {
  return storageError(StorageErrorKind::fileReadNoPermission, "no application-support directory");
}

}  // namespace

TelemetryOutbox::TelemetryOutbox(std::optional<LocalStorage> storage)
    : storage_(std::move(storage)) {
  (void)directory();
}

Result<std::filesystem::path> TelemetryOutbox::directory() const {
  if (!storage_) return noStorage();
  return storage_->privateDirectory(kDirectory);
}

std::filesystem::path TelemetryOutbox::sealedLocation() const {
  if (!storage_) return {};
  return storage_->applicationSupport() / kDirectory / kSealedName;
}

std::filesystem::path TelemetryOutbox::legacyLocation() const {
  if (!storage_) return {};
  return storage_->applicationSupport() / kDirectory / kLegacyName;
}

Result<std::vector<TelemetryEvent>> TelemetryOutbox::load() const {
  Result<std::filesystem::path> folder = directory();
  if (!folder) return folder.error();
  Result<std::optional<std::vector<TelemetryEvent>>> loaded =
      storage_->loadSealedMigrating<std::vector<TelemetryEvent>>(
          *folder / kLegacyName, *folder / kSealedName, decodeTelemetryEvents);
  if (!loaded) return loaded.error();
  return std::move(*loaded).value_or(std::vector<TelemetryEvent>{});
}

// Written through writeSealed with our own encoding: the generic saveSealed would go through
// nlohmann::json, which sorts keys, and the event's key order is part of its format.
Status TelemetryOutbox::save(const std::vector<TelemetryEvent>& events) const {
  Result<std::filesystem::path> folder = directory();
  if (!folder) return folder.error();
  Result<std::string> text = encodeTelemetryEvents(events);
  if (!text) return text.error();
  return storage_->writeSealed(*text, *folder / kSealedName);
}

}  // namespace nimbra
