#include "app/error_moments.h"

#include <algorithm>

namespace nimbra {

void ErrorMoments::note(const std::string& kind, const std::optional<std::string>& message,
                        Date now) {
  auto it = std::find_if(moments_.begin(), moments_.end(),
                         [&](const Moment& moment) { return moment.kind == kind; });
  bool shown = message && !message->empty();
  if (!shown) {
    if (it != moments_.end()) it->current = false;
    return;
  }
  if (it == moments_.end()) {
    moments_.push_back({kind, *message, now, true});
    return;
  }
  if (it->current && it->message == *message) return;
  *it = {kind, *message, now, true};
}

std::vector<ErrorMoments::Moment> ErrorMoments::moments() const { return moments_; }

}  // namespace nimbra
