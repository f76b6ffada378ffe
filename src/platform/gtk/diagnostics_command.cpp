#include "platform/gtk/diagnostics_command.h"

#include <string>

#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include "app/diagnostics_report.h"
#include "app/program_facts.h"
#include "app/server_endpoints.h"
#include "platform/system_facts.h"

namespace nimbra::DiagnosticsCommand {
namespace {

std::string version(unsigned major, unsigned minor, unsigned micro) {
  return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(micro);
}

}  // namespace

Diagnostics::Facts gatherFacts(bool runtime, bool simulatedDevice) {
  const ServerEndpoints::Servers servers = ServerEndpoints::fromProcessEnvironment(simulatedDevice);
  Diagnostics::Facts facts = Diagnostics::programFacts(
      RunningApp::current(), {servers.api.baseUrl, servers.updateBaseUrl});
  facts.simulatedDevice = simulatedDevice;
  Diagnostics::addSystemFacts(facts, runtime);
  facts.librariesAtRuntime = runtime;
  if (runtime) {
    // Plain version queries: they need no display.
    facts.gtkVersion =
        version(gtk_get_major_version(), gtk_get_minor_version(), gtk_get_micro_version());
    facts.webkitVersion =
        version(webkit_get_major_version(), webkit_get_minor_version(), webkit_get_micro_version());
  } else {
    facts.gtkVersion = version(GTK_MAJOR_VERSION, GTK_MINOR_VERSION, GTK_MICRO_VERSION);
    facts.webkitVersion = version(WEBKIT_MAJOR_VERSION, WEBKIT_MINOR_VERSION, WEBKIT_MICRO_VERSION);
  }
  return facts;
}

int run(std::ostream& out, bool simulatedDevice) {
  out << Diagnostics::buildReport(gatherFacts(false, simulatedDevice));
  out.flush();
  return 0;
}

}  // namespace nimbra::DiagnosticsCommand
