// The one place that knows every concrete part of the server: a client connection's shell is
// a CommandShell joined to its connection and to the server core through adapters, and a
// server core is built with that shell and every resource kind.
#pragma once

#include "core/server.hpp"

#include <memory>

// The command shell of a client connection.
std::unique_ptr<Shell> MakeShell(Requestor& owner, Server& server, bool mdnsSupported);
// The factory a server core is built with: MakeShell, or what was set here (tests give the
// whole server a scripted shell this way).
ShellFactory DefaultShellFactory();
void SetDefaultShellFactory(ShellFactory factory);
// A server core with the default shell and every resource kind.
std::unique_ptr<Server> MakeServerCore();
