// The one place that names every kind of device: which device serves the options of an open.
// Each transport adds its kind here as it is built.
#pragma once

#include <boost/asio/io_context.hpp>

#include <memory>

namespace orvan {

class OrvanDevice;
struct OrvanOptions;

// A new, unopened device for the options on the handle's I/O context: the server-client
// device unless the options say "direct", else the direct device of the address's kind.
// -1101 for a kind that has no device yet.
std::shared_ptr<OrvanDevice> MakeDevice(const OrvanOptions& options, boost::asio::io_context& io);

}  // namespace orvan
