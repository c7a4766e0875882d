// The dispatch of OrvUtility. A new option is one row in a table below and one body in
// utility_options.hpp.
#include "utility/utility_dispatcher.hpp"

#include <algorithm>
#include <iterator>

#include "api/orv_con.hpp"
#include "core/orvan_error.hpp"
#include "platform/os_version.hpp"
#include "utility/utility_options.hpp"

namespace orvan {
namespace {

// Options that need no handle; a missing required argument sends the call on to the handle
// options, where it is refused. One row per option, in number order.
// clang-format off
const UtilityOption kNoHandleOptions[] = {
    {128, false, NeedsBoth, LibraryVersion},
    {130, false, NeedsData1, Pause},
    {131, false, NeedsBoth, DirectAddressList},
    {132, false, NeedsBoth, DirectIpRequests},
    {133, false, NeedsBoth, AssignDirectly},
    {135, false, NeedsBoth, PingDirectly},
    {256, false, NeedsBoth, SetServer},
    {257, false, NeedsBoth, ServerVersion},
    {259, false, NeedsBoth, ServerResources},
    {260, false, NeedsEither, IpRequestListening},
    {261, false, NeedsBoth, AssignThroughServer},
    {262, false, NeedsBoth, PingThroughServer},
    {263, true, NeedsBoth, PublishedServers},
    {264, true, NeedsBoth, PublishLocalServer},
    {265, true, NeedsData1, SelectServerByName},
    {266, true, NeedsBoth, LocalServerStatus},
    {267, true, NeedsBoth, ServerConnections},
    {268, true, NeedsBoth, PublishedServerInfo},
    {269, false, NeedsData1, RememberedAssignments},
    {270, false, NeedsData1, RememberAssignments},
};
// clang-format on

// Options on a handle; their missing arguments give -2.
const UtilityOption kHandleOptions[] = {
    {1, false, NeedsData1, OpenedTimeout},
    {2, false, NeedsEither, ExchangeTimeout},
    {129, false, NeedsBoth, ConnectionInfo},
    {134, false, NeedsNothing, InitializeAgain},
    {136, false, NeedsBoth, TakeLastError},
    {258, false, NeedsNothing, DoNothing},
    {100000, false, NeedsData1, DescribeHardware},
    {100001, false, NeedsData1, ProgramDownloadD1},
    {100002, false, NeedsNothing, SetProgressCallback},
};

template <size_t N>
const UtilityOption* Find(const UtilityOption (&table)[N], int32_t option) {
  const auto found =
      std::find_if(std::begin(table), std::end(table),
                   [option](const UtilityOption& row) { return row.option == option; });
  return found == std::end(table) ? nullptr : found;
}

int32_t Run(const UtilityOption& row, const UtilityCall& call) {
  try {
    return row.run(call);
  } catch (const OrvanError& e) {
    if (call.handle) call.handle->lastError = e.Message();
    return e.Code();
  } catch (...) {
    return -1;
  }
}

}  // namespace

int32_t DispatchUtility(OrvCon* handle, int32_t option, void* data1, void* data2) {
  const UtilityCall call{handle, data1, data2};
  // Asked on every call, whatever the option.
  const bool recentSystem = platform::IsWindows10OrLater();
  if (const UtilityOption* row = Find(kNoHandleOptions, option)) {
    if (row->serverManagement && !recentSystem) return kNotSupported;
    if (row->present(call)) return Run(*row, call);
  }
  if (!handle) return kMissingWithoutHandle;
  const UtilityOption* row = Find(kHandleOptions, option);
  if (!row || !row->present(call)) return kMissingWithHandle;
  return Run(*row, call);
}

}  // namespace orvan
