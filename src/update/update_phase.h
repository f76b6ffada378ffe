#pragma once

#include <optional>
#include <string_view>

namespace nimbra {

// Where the updater's current check stands, shown on the page as its word ("phase" of
// "appUpdate"); the words are the page's, so they never change.
enum class UpdatePhase {
  idle,         // no check yet
  checking,     // asking the update server
  current,      // nothing newer applies
  rollback,     // the newer build failed here before and is still backed off
  permission,   // the program may not replace itself (folder not writable, no signing anchors)
  downloading,  // fetching the package
  verifying,    // proving and unpacking the package
  ready,        // proven; the installer starts after a pause
  waiting,      // the installer waits until the program may quit
  installing,   // the installer has started; the program quits
  error,        // the check failed
};

std::string_view phaseText(UpdatePhase phase);
// The phase whose word is `text`; absent for any other text.
std::optional<UpdatePhase> parsePhase(std::string_view text);

}  // namespace nimbra
