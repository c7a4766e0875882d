// Everything one TLS connection to the server owns, so a pending operation of an older
// connection writes only into its own buffers: the stream, the receive block and the send
// buffer with their pending flags and outcomes.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>

#include <array>
#include <cstddef>

#include "core/received_block.hpp"
#include "server_client/server_channel.hpp"

namespace orvan {

struct TlsLink {
  explicit TlsLink(boost::asio::io_context& io);

  boost::asio::ssl::context context;
  boost::asio::ssl::stream<boost::asio::ip::tcp::socket> stream;
  BasicReceivedBlock<kChannelBlock> received;
  bool readPending = false;
  boost::system::error_code readError;
  std::array<char, kChannelBlock> sendBuffer{};
  bool writePending = false;
  size_t sentCount = 0;
  boost::system::error_code writeError;
};

}  // namespace orvan
