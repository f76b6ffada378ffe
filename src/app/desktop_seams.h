#pragma once

#include <string>

#include "core/error.h"

namespace nimbra {

// The desktop's notification service. The GIO implementation (platform/gtk) sends a
// GNotification whose click shows nimbra's window; tests record. Main thread only.
class Notifier {
 public:
  virtual ~Notifier() = default;
  // Shows (or replaces) the notification `id`.
  virtual void send(const std::string& id, const std::string& title, const std::string& body) = 0;
};

// The user's XDG autostart entry for nimbra: one file, written whole or removed. The
// implementation (platform/gtk) keeps it in $XDG_CONFIG_HOME/autostart; tests record.
// Main thread only.
class AutostartEntry {
 public:
  virtual ~AutostartEntry() = default;
  virtual Status install(const std::string& text) = 0;
  // Removing an entry that is not there succeeds.
  virtual Status remove() = 0;
};

}  // namespace nimbra
