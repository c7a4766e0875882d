// What a client connection needs of the server core: a shell for itself, the TLS context, the
// handshake deadline and a place among the bounded handshakes for a TLS client, a place in the
// client list, and the listener's next accept.
#pragma once

#include <boost/asio/ssl/context.hpp>
#include <boost/system/error_code.hpp>

#include <chrono>
#include <memory>

class Requestor;
class Shell;
class TcpRequestor;

class RequestorServer {
public:
  virtual ~RequestorServer() = default;

  // The shell the connection carries; `mdnsSupported` enables the mDNS commands.
  virtual std::unique_ptr<Shell> MakeShellFor(Requestor& owner, bool mdnsSupported) = 0;
  // The context for the next TLS client.
  virtual std::shared_ptr<boost::asio::ssl::context> TlsContext() = 0;
  // How long a TLS client may take to speak and get a place for its handshake, and then over
  // the handshake itself, before it is closed.
  virtual std::chrono::milliseconds HandshakeTimeout() const = 0;
  // Calls `requestor->StartHandshake()` (posted) as soon as fewer handshakes than the server's
  // bound are in progress; until then the client waits holding only its socket.
  virtual void AwaitHandshake(std::shared_ptr<TcpRequestor> requestor) = 0;
  // The client's handshake ended, or it closed before: its place goes to the next client waiting.
  // Harmless for a client that holds no place and waits for none.
  virtual void EndHandshake(const TcpRequestor* requestor) = 0;
  virtual void AddRequestor(std::shared_ptr<Requestor> requestor) = 0;
  // Posted by a closing connection: the server drops its reference.
  virtual void RemoveRequestor(const std::shared_ptr<Requestor>& requestor) = 0;
  // Called by every accept completion, so that the listener takes its next client.
  virtual void ContinueAccept(const TcpRequestor* requestor,
                              const boost::system::error_code& error) = 0;
};
