// What a resource needs of the server's table of open resources: to hear how its open ended,
// and to be closed once nobody uses it.
#pragma once

#include <boost/system/error_code.hpp>

#include <cstdint>
#include <memory>

class Resource;

class ResourceTable {
public:
  virtual ~ResourceTable() = default;

  // An open ended; without error the resource enters the table.
  virtual void OnResourceOpened(std::shared_ptr<Resource> resource,
                                const boost::system::error_code& error) = 0;
  // Forgets the resource with that id and releases it; nothing happens for an unknown id.
  virtual void CloseResource(std::uint32_t id) = 0;
};
