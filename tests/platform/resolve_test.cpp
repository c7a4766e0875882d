// Runs in a network namespace whose only interface is loopback: the host where a resolve with
// the address-configured flag would refuse every name.
#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>

#include <string>

#include "platform/resolve.hpp"

namespace {

template <class Protocol>
void ExpectResolves(const std::string& host, uint16_t port, const std::string& first) {
  SCOPED_TRACE(host);
  boost::asio::io_context io;
  typename Protocol::resolver resolver(io);
  bool called = false;
  platform::AsyncResolve(resolver, host, port,
                         [&](const boost::system::error_code& error,
                             const typename Protocol::resolver::results_type& results) {
                           called = true;
                           ASSERT_FALSE(error) << error.message();
                           ASSERT_FALSE(results.empty());
                           EXPECT_EQ(results.begin()->endpoint().address().to_string(), first);
                           for (const auto& entry : results) {
                             EXPECT_TRUE(entry.endpoint().address().is_v4());
                             EXPECT_EQ(entry.endpoint().port(), port);
                           }
                         });
  io.run();
  EXPECT_TRUE(called);
}

TEST(Resolve, LoopbackNamesResolveOnALoopbackOnlyHost) {
  const struct {
    const char* host;
    uint16_t port;
    const char* first;
  } cases[] = {
      {"127.0.0.2", 23, "127.0.0.2"},
      {"localhost", 60007, "127.0.0.1"},  // IPv4 only, though localhost is ::1 as well
  };
  for (const auto& c : cases) {
    ExpectResolves<boost::asio::ip::tcp>(c.host, c.port, c.first);
    ExpectResolves<boost::asio::ip::udp>(c.host, c.port, c.first);
  }
}

}  // namespace
