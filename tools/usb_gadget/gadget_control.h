#pragma once

// The device program's control channel: a Unix stream socket that takes one command line per
// connection and answers with one line ("ok ..." or "error ..."). Tests use it to unplug,
// replug and spoil replies while they drive nimbra's stack on the host side.
// Thread: any; every call is a blocking exchange of its own.

#include <functional>
#include <string>

#include "core/error.h"

namespace nimbra::gadget {

// Server side: a listening socket at `path` (an old socket file there is replaced).
Result<int> listenForCommands(const std::string& path);

// Server side: takes one connection from `listener`, reads its command line, gives the line to
// `handle` and writes its answer back. A client that sends nothing within a second is dropped.
void serveOneCommand(int listener, const std::function<std::string(const std::string&)>& handle);

// Client side: sends `command` and returns the answer without its line feed; fails when the
// device program cannot be reached or answers "error ...".
Result<std::string> sendCommand(const std::string& path, const std::string& command);

}  // namespace nimbra::gadget
