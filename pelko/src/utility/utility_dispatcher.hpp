// OrvUtility's dispatch: the system check, the options that need no handle, then the options
// on a handle, each looked up in a table of its own.
#pragma once

#include <cstdint>

struct OrvCon;

namespace orvan {

// Runs the option; its failures become its code, and an OrvanError's message becomes the
// handle's last error when a handle was given.
int32_t DispatchUtility(OrvCon* handle, int32_t option, void* data1, void* data2);

}  // namespace orvan
