#pragma once

#include <chrono>
#include <filesystem>

namespace nimbra::Installer {

// How long the installer waits. Both may only be shortened from outside (for tests,
// through NIMBRA_UPDATE_PARENT_TIMEOUT_MS and NIMBRA_UPDATE_HEALTH_TIMEOUT_MS).
struct Waits {
  std::chrono::milliseconds parent{std::chrono::seconds(60)};
  std::chrono::milliseconds health{std::chrono::seconds(30)};
  std::chrono::milliseconds stop{std::chrono::seconds(3)};
  // False forces the three-rename exchange (tests, through NIMBRA_UPDATE_RENAME_ONLY=1).
  bool atomicExchange = true;

  static Waits fromEnvironment();
};

enum class Outcome {
  installed,   // the new bundle proved healthy, is at the target and was started
  rolledBack,  // the new bundle failed its proof: its build recorded, the old one restarted
  notStarted,  // the job could not be read or was taken, the program did not quit in time,
               // or the new bundle could not be brought next to the target or swapped in
};

// Carries out the job described by `jobFile` ("<job directory>/job.json"): waits for the
// program to quit, moves the staged bundle next to the target, starts it there with
// "--zuvo-update-health <job id>" and waits for its marker, and only then exchanges it
// with the target and starts it. A build that fails its proof never reaches the target.
Outcome run(const std::filesystem::path& jobFile, const Waits& waits);

}  // namespace nimbra::Installer
