#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/clock.h"

namespace nimbra {

// When each kind of error ("device", "storage", "history", "update") was last seen, for the
// diagnostics report. The controller shows the current messages at every publish; a message
// keeps the time it first appeared for as long as it stays the same, and the last one of a
// kind is kept after it clears, so a report made later still says what went wrong and when.
// Main thread only.
class ErrorMoments {
 public:
  struct Moment {
    std::string kind;
    std::string message;
    Date since;
    bool current = false;  // still shown
  };

  // `message` empty or absent: nothing of this kind is shown now.
  void note(const std::string& kind, const std::optional<std::string>& message, Date now);

  // Every kind seen so far, in the order first seen.
  std::vector<Moment> moments() const;

 private:
  std::vector<Moment> moments_;
};

}  // namespace nimbra
