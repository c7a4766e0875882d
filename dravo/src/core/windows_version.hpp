// The server's operating-system version test; the platform layer decides the answer.
#pragma once

#include "platform/os_version.hpp"

inline bool IsWindows10OrLater() { return platform::IsWindows10OrLater(); }
