// A TLS connection's context, made for each connection.
#include "server_client/tls_link.hpp"

namespace orvan {

namespace asio = boost::asio;
namespace ssl = asio::ssl;

namespace {

ssl::context MakeContext() {
  try {
    ssl::context context(ssl::context::tls);
    context.set_options(ssl::context::no_compression);
    // The server's certificate is its own, self-signed one: it is not checked.
    context.set_verify_mode(ssl::verify_none);
    return context;
  } catch (const boost::system::system_error& e) {
    throw boost::system::system_error(e.code(), "context");
  }
}

}  // namespace

TlsLink::TlsLink(asio::io_context& io) : context(MakeContext()), stream(io, context) {}

}  // namespace orvan
