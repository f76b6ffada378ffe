#pragma once

#include <functional>
#include <mutex>
#include <optional>

#include "core/error.h"
#include "storage/aes_gcm.h"

namespace nimbra {

// Holds the storage key once it has been loaded, for the life of the process; it is never
// cleared. Any thread: one mutex guards the key and is held for the whole load, so two
// threads never create or read the key file at the same time.
class KeyCache {
 public:
  // The process-wide cache every LocalStorage made for the real user shares.
  static KeyCache& process();

  // The cached key, or the result of `load` (cached when it succeeds).
  Result<StorageKey> getOrLoad(const std::function<Result<StorageKey>()>& load);

 private:
  std::mutex mutex_;
  std::optional<StorageKey> key_;  // guarded by mutex_
};

}  // namespace nimbra
