// The bodies of the utility options, one function per option number, grouped by the file that
// holds them. The dispatcher's tables say which arguments each needs.
#pragma once

#include <cstdint>

#include "utility/utility_call.hpp"

namespace orvan {

// The library's version text.
constexpr char kLibraryVersion[] = "1.35.5";

// Options without a handle (no_handle_options.cpp).
int32_t LibraryVersion(const UtilityCall& call);         // 128
int32_t Pause(const UtilityCall& call);                  // 130
int32_t SetServer(const UtilityCall& call);              // 256
int32_t ServerVersion(const UtilityCall& call);          // 257
int32_t ServerResources(const UtilityCall& call);        // 259
int32_t IpRequestListening(const UtilityCall& call);     // 260
int32_t AssignThroughServer(const UtilityCall& call);    // 261
int32_t PingThroughServer(const UtilityCall& call);      // 262
int32_t ServerConnections(const UtilityCall& call);      // 267
int32_t RememberedAssignments(const UtilityCall& call);  // 269
int32_t RememberAssignments(const UtilityCall& call);    // 270

// Options that reach controllers without a server (direct_options.cpp).
int32_t DirectAddressList(const UtilityCall& call);  // 131
int32_t DirectIpRequests(const UtilityCall& call);   // 132
int32_t AssignDirectly(const UtilityCall& call);     // 133
int32_t PingDirectly(const UtilityCall& call);       // 135

// Options that manage the local server (server_management_options.cpp).
int32_t PublishedServers(const UtilityCall& call);     // 263
int32_t PublishLocalServer(const UtilityCall& call);   // 264
int32_t SelectServerByName(const UtilityCall& call);   // 265
int32_t LocalServerStatus(const UtilityCall& call);    // 266
int32_t PublishedServerInfo(const UtilityCall& call);  // 268

// Options on a handle (handle_options.cpp).
int32_t OpenedTimeout(const UtilityCall& call);        // 1
int32_t ExchangeTimeout(const UtilityCall& call);      // 2
int32_t ConnectionInfo(const UtilityCall& call);       // 129
int32_t InitializeAgain(const UtilityCall& call);      // 134
int32_t TakeLastError(const UtilityCall& call);        // 136
int32_t DoNothing(const UtilityCall& call);            // 258
int32_t DescribeHardware(const UtilityCall& call);     // 100000
int32_t ProgramDownloadD1(const UtilityCall& call);    // 100001
int32_t SetProgressCallback(const UtilityCall& call);  // 100002

}  // namespace orvan
