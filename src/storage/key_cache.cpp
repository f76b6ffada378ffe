#include "storage/key_cache.h"

namespace nimbra {

KeyCache& KeyCache::process() {
  static KeyCache cache;
  return cache;
}

Result<StorageKey> KeyCache::getOrLoad(const std::function<Result<StorageKey>()>& load) {
  std::lock_guard lock(mutex_);
  if (key_) return *key_;
  Result<StorageKey> loaded = load();
  if (loaded) key_ = *loaded;
  return loaded;
}

}  // namespace nimbra
