#include <string_view>

#include "app/controller.h"
#include "app/diagnostics_report.h"
#include "app/screen_state.h"
#include "core/dates.h"
#include "device/model_messages.h"

// "copy-diagnostics": the report a user attaches to a bug report, with what only the running
// window knows, put on the clipboard. The page asks; the text is built here and never comes
// from the page.

namespace nimbra {
namespace {

// Rows whose value identifies the device (the module's serial number, its Codentify): the
// value is masked as the serial is on screen and the payload, which spells it out, withheld.
constexpr int kIdentifyingCommands[] = {1, 12};

bool identifies(const Reading& row) {
  for (int command : kIdentifyingCommands) {
    if (row.command == command) return true;
  }
  return false;
}

// The status lines the model sets when an open, a read or a save failed; the others (searching,
// read done, saving, saved) say nothing went wrong.
bool isDeviceFailure(const std::string& message) {
  for (std::string_view prefix : {kOpenFailedPrefix, kSaveFailedPrefix, kSwitchedOffMessage}) {
    if (message.starts_with(prefix)) return true;
  }
  return false;
}

}  // namespace

Diagnostics::WindowFacts Controller::windowFacts() const {
  Diagnostics::WindowFacts facts;
  if (model_->updated()) facts.statusReadAt = iso8601(*model_->updated());
  for (const Reading& row : model_->rows()) {
    Diagnostics::StatusRow shown{row.name, row.value, row.raw.empty() ? "-" : row.raw};
    if (identifies(row)) {
      shown.value = row.ok ? maskSerial(row.value) : row.value;
      shown.rawHex = "withheld";
    }
    facts.statusRows.push_back(std::move(shown));
  }
  for (const ErrorMoments::Moment& moment : errorMoments_.moments()) {
    std::string when = iso8601(moment.since);
    if (!moment.current) when += ", no longer shown";
    facts.lastErrors.push_back({moment.kind, moment.message, when});
  }
  return facts;
}

// The messages each kind shows now, noted at every publish so the report can say since when.
// The device line is the status line of the last failed open or read, not every status text.
void Controller::noteErrorMoments() {
  Date now = clock_.now();
  std::optional<std::string> device;
  if (isDeviceFailure(model_->message())) device = model_->message();
  if (model_->openRefused()) device = model_->message() + " (open refused for permission)";
  errorMoments_.note("device", device, now);
  errorMoments_.note("storage",
                     samples_.storageError() ? samples_.storageError() : preferencesError_, now);
  errorMoments_.note("history", history_.shownError(), now);
  std::optional<std::string> update;
  if (updater_.state().phase == "error") update = "the last update check or install failed";
  errorMoments_.note("update", update, now);
}

bool Controller::copyDiagnostics() {
  if (!diagnosticsFacts_) return false;
  Diagnostics::Facts facts = diagnosticsFacts_();
  facts.window = windowFacts();
  return sharing_.copyText(Diagnostics::buildReport(facts));
}

}  // namespace nimbra
