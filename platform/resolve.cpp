// The resolver's flags, kept in one place.
#include "platform/resolve.hpp"

namespace platform {

boost::asio::ip::resolver_base::flags ResolveFlags() {
  return boost::asio::ip::resolver_base::numeric_service;
}

}  // namespace platform
