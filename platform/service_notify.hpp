// Tells the service manager how the service stands, in its own state lines ("READY=1",
// "STOPPING=1", "STATUS=..."). Outside a service manager (no NOTIFY_SOCKET) it does nothing.
#pragma once

#include <string>

namespace platform {

// Sends the state lines, one per line of `state`; true when they went out, false when no
// service manager listens or the send failed (a service runs on either way).
bool NotifyServiceManager(const std::string& state);

}  // namespace platform
