// The state lines go through sd_notify, which finds the manager's socket in NOTIFY_SOCKET.
#include "platform/service_notify.hpp"

#include <systemd/sd-daemon.h>

namespace platform {

bool NotifyServiceManager(const std::string& state) { return sd_notify(0, state.c_str()) > 0; }

}  // namespace platform
