#include "app/controller.h"
#include "app/diagnostics_report.h"
#include "app/screen_state.h"
#include "core/dates.h"

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
  // The model and the flows keep the latest message of each kind, not when it came.
  auto add = [&](const char* kind, const std::optional<std::string>& message) {
    if (message && !message->empty()) facts.lastErrors.push_back({kind, *message, std::nullopt});
  };
  if (model_->openRefused()) add("device", model_->message() + " (open refused for permission)");
  if (!model_->openRefused()) add("device", model_->message());
  add("storage", samples_.storageError() ? samples_.storageError() : preferencesError_);
  add("history", history_.shownError());
  if (updater_.state().phase == "error") add("update", "the last update check or install failed");
  return facts;
}

bool Controller::copyDiagnostics() {
  if (!diagnosticsFacts_) return false;
  Diagnostics::Facts facts = diagnosticsFacts_();
  facts.window = windowFacts();
  return sharing_.copyText(Diagnostics::buildReport(facts));
}

}  // namespace nimbra
