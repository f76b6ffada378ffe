#include "app/usage_data.h"

namespace nimbra::UsageData {

State load(const LocalSettings& settings) {
  return State{
      .enabled = settings.value<bool>(kEnabledKey).value_or(true),
      .notice = !settings.value<bool>(kNoticeSeenKey).value_or(false),
  };
}

bool saveEnabled(const LocalSettings& settings, bool enabled) {
  const bool saved = settings.save(enabled, kEnabledKey).ok();
  return dismissNotice(settings) && saved;
}

bool dismissNotice(const LocalSettings& settings) {
  return settings.save(true, kNoticeSeenKey).ok();
}

}  // namespace nimbra::UsageData
