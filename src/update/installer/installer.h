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

  static Waits fromEnvironment();
};

enum class Outcome {
  installed,   // the new bundle runs and left its health marker; the old one is gone
  rolledBack,  // the new bundle failed; the old one is back, its build recorded, restarted
  notStarted,  // the job could not be read, was taken, or the program did not quit in time
};

// Carries out the job described by `jobFile` ("<job directory>/job.json"): waits for the
// program to quit, exchanges the staged bundle with the running one, starts it with
// "--zuvo-update-health <job id>" and waits for its marker; rolls back otherwise. The
// target holds a complete bundle at every moment.
Outcome run(const std::filesystem::path& jobFile, const Waits& waits);

}  // namespace nimbra::Installer
