#pragma once

#include <ostream>
#include <string_view>

#include "core/diagnostics_facts.h"

namespace nimbra::DiagnosticsCommand {

// The facts every diagnostics report holds, gathered now: the program's, the system's and
// the toolkit's. `runtime`: the library versions as loaded (the window, after GTK started)
// rather than those nimbra was compiled against (the command line, where GTK is never
// initialised). With `simulatedDevice`, the demo's servers when the environment names them,
// as the window uses them. Any thread.
Diagnostics::Facts gatherFacts(bool runtime, bool simulatedDevice);

// "nimbra --diagnostics": the report without the window's facts on `out`. Needs no display,
// initialises no toolkit, opens no device and writes no file. Returns the exit status, 0.
int run(std::ostream& out, bool simulatedDevice);

}  // namespace nimbra::DiagnosticsCommand
