#include <cstdlib>
#include <iostream>
#include <string>
#include <string_view>

#include "app/background_mode.h"
#include "app/legacy_migration.h"
#include "platform/gtk/diagnostics_command.h"
#include "platform/gtk/nimbra_application.h"

namespace {

constexpr char kUsage[] =
    "Usage: nimbra [--hidden | --diagnostics | --help]\n"
    "Opens the window of the IQOS ILUMA i ONE connected by USB.\n"
    "\n"
    "  --hidden       start without showing the window (starting nimbra again shows it)\n"
    "  --diagnostics  print a report to attach to a bug report, then exit (needs no display)\n"
    "  --help         print this help, then exit\n";

}  // namespace

// Builds the application object and runs it. The migration of the former product's data
// comes first, before anything reads the data folder. The switches that only print (help,
// diagnostics) are answered before GTK starts, so they work without a display.
int main(int argc, char** argv) {
  nimbra::LaunchOptions options;
  const char* simulated = std::getenv("NIMBRA_SIMULATED_DEVICE");
  options.simulatedDevice = simulated != nullptr && std::string_view(simulated) == "1";
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument(argv[i]);
    if (argument == "--help" || argument == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (argument == "--diagnostics") {
      return nimbra::DiagnosticsCommand::run(std::cout, options.simulatedDevice);
    }
    options.arguments.emplace_back(argv[i]);
    if (argument == "--automation") options.automation = true;
    if (argument == nimbra::BackgroundMode::kHiddenSwitch) options.hidden = true;
  }

  nimbra::LegacyMigration::run();
  nimbra::NimbraApplication application(std::move(options));
  return application.run(argv[0]);
}
