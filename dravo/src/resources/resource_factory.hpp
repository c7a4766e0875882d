// The one place that names every kind of resource the server can open.
#pragma once

#include <boost/asio/io_context.hpp>

#include <cstdint>
#include <memory>

class Resource;
class ResourceTable;

// The resource of the given kind (0 TCP, 1 UDP, 2 serial, 3 PCI), or null for a kind this
// server cannot open.
std::shared_ptr<Resource> MakeResource(std::uint32_t kind, boost::asio::io_context& io,
                                       ResourceTable& table, std::uint32_t id);
