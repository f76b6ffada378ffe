#include <cstdlib>
#include <string>
#include <string_view>

#include "app/legacy_migration.h"
#include "platform/gtk/nimbra_application.h"

// Builds the application object and runs it. The migration of the former product's data
// comes first, before anything reads the data folder.
int main(int argc, char** argv) {
  nimbra::LaunchOptions options;
  const char* simulated = std::getenv("NIMBRA_SIMULATED_DEVICE");
  options.simulatedDevice = simulated != nullptr && std::string_view(simulated) == "1";
  for (int i = 1; i < argc; ++i) {
    options.arguments.emplace_back(argv[i]);
    if (std::string_view(argv[i]) == "--automation") options.automation = true;
  }

  nimbra::LegacyMigration::run();
  nimbra::NimbraApplication application(std::move(options));
  return application.run(argv[0]);
}
