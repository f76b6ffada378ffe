// Model's history read: start and completion on the main thread around the device task of
// history_read.cpp.

#include "device/model.h"

namespace nimbra {

void Model::readHistory(std::optional<std::vector<uint8_t>> previousCatalog, bool background,
                        HistoryDone done) {
  if (busy() || selected().empty() || !updated()) return;
  const std::string before = message();
  busy_ = true;
  backgroundReading_ = background;
  if (!background) message_ = kHistoryReadingMessage;
  const DeviceTicket ticket = takeTicket();
  runOnDevice<HistoryOutcome>(
      [ticket, previous = std::move(previousCatalog)] {
        return readHistoryFromDevice(ticket.serial, ticket.epoch, previous);
      },
      [this, ticket, background, before, done = std::move(done)](const HistoryOutcome& outcome) {
        endOperation();
        if (!isCurrent(ticket)) return;
        if (!background) {
          if (const auto* error = std::get_if<Error>(&outcome)) {
            message_ = error->message;
          } else if (const auto* snapshot = std::get_if<HistorySnapshot>(&outcome)) {
            message_ = historySnapshotMessage(snapshot->packets.size());
          } else {
            message_ = before;  // nothing new to say: take the progress text away again
          }
        }
        done(ticket.serial, outcome);
      });
}

}  // namespace nimbra
