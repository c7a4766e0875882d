// Lets a server hold as many connections as the system allows it: raises the process's soft
// limit on open descriptors to its hard limit.
#pragma once

namespace platform {

// True when the soft limit now equals the hard limit.
bool RaiseDescriptorLimit();

}  // namespace platform
