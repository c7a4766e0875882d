// Name resolution as the system needs it on Linux: IPv4 only, the port as a number, and never
// the address-configured flag, which on a host whose only interface is loopback refuses even
// "127.0.0.2" and "localhost".
#pragma once

#include <boost/asio/ip/resolver_base.hpp>

#include <cstdint>
#include <string>
#include <utility>

namespace platform {

// The query flags every resolve of the system passes.
boost::asio::ip::resolver_base::flags ResolveFlags();

// Starts resolving host on port with an Asio resolver (TCP or UDP); the handler gets what
// async_resolve gives it. Throws what async_resolve throws when the query cannot start.
template <class Resolver, class Handler>
void AsyncResolve(Resolver& resolver, const std::string& host, uint16_t port, Handler&& handler) {
  resolver.async_resolve(Resolver::protocol_type::v4(), host, std::to_string(port), ResolveFlags(),
                         std::forward<Handler>(handler));
}

// The same for a protocol without ports (ICMP): no service is asked for.
template <class Resolver, class Handler>
void AsyncResolve(Resolver& resolver, const std::string& host, Handler&& handler) {
  resolver.async_resolve(Resolver::protocol_type::v4(), host, std::string(), ResolveFlags(),
                         std::forward<Handler>(handler));
}

}  // namespace platform
