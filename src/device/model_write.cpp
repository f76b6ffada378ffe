// Model's setting write.

#include "device/model.h"

namespace nimbra {

void Model::writeSetting(const Setting& setting, bool requested,
                         std::function<void(std::optional<bool>)> done) {
  if (values().empty() || !values().contains(setting.id) || selected().empty() || busy()) return;
  busy_ = true;
  message_ = kSavingPrefix + setting.title + kSavingSuffix;
  runOnDevice<Status>(
      [ticket = takeTicket(), setting, requested, before = values()] {
        return writeSettingOnDevice(setting, requested, before, ticket.serial, ticket.epoch);
      },
      [this, generation = generation_, id = setting.id, requested,
       done = std::move(done)](const Status& written) {
        busy_ = false;
        if (generation != generation_) return done(std::nullopt);
        if (!written.ok()) {
          values_ = {};
          message_ = kSaveFailedPrefix + written.error().message + kSaveFailedSuffix;
          return done(std::nullopt);
        }
        SettingValues confirmed = values();
        confirmed[id] = requested;
        values_ = std::move(confirmed);
        message_ = kSavedMessage;
        done(requested);
      });
}

}  // namespace nimbra
