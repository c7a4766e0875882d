// One open connection from the server to a controller, shared by any number of clients.
// This base holds what the server core's resource table uses; the transports derive from it.
#pragma once

#include "open_parameters.hpp"
#include "shell_resource.hpp"

#include <boost/asio/io_context.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class Request;
class Server;

class Resource : public std::enable_shared_from_this<Resource>, public ShellResource {
public:
  Resource(boost::asio::io_context& io, Server& server, uint32_t id);
  virtual ~Resource() = default;

  // 0 TCP, 1 UDP, 2 serial, 3 PCI.
  virtual uint32_t Kind() const = 0;
  // Stores the address; a transport then opens and posts Server::OnResourceOpened(self, error).
  virtual void Open(const OpenParameters& parameters);
  // Stops the resource (its idle timer, then its transport, posted); the server has forgotten it.
  virtual void Release() = 0;
  // Whether an open of these parameters is served by this resource: the address is equal.
  virtual bool Matches(const OpenParameters& parameters) const;
  virtual std::string Describe() const { return "none"; }
  // Queues a request; the resource applies it on its own turn of the event loop.
  virtual void Submit(std::shared_ptr<Request> request) = 0;

  // "id, address, kind, description" for the resources listing, without a line end.
  std::string ListLine() const;
  uint32_t Id() const { return id; }
  const std::string& Address() const { return address; }
  static const char* KindWord(uint32_t kind);

protected:
  boost::asio::io_context& io;
  Server& server;
  uint32_t id;
  std::string address;
};

using ResourceFactory =
    std::function<std::shared_ptr<Resource>(uint32_t kind, boost::asio::io_context& io, Server& server, uint32_t id)>;

// The resource of the given kind, or null for a kind this server cannot open.
std::shared_ptr<Resource> MakeResource(uint32_t kind, boost::asio::io_context& io, Server& server, uint32_t id);
