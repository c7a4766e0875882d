// The two worker threads that every card of one server shares: the card driver's requests
// block, so reads run on a read worker and writes on a write worker, each on an io_context of
// its own, and their completions are posted back to the server's event loop.
#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/system/error_code.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

class BasicPciImplementation;

class BasicPciService : public boost::asio::execution_context::service {
public:
  using Handler = std::function<void(const boost::system::error_code& error, size_t count)>;
  static inline boost::asio::execution_context::id id;

  // Starts both workers; a thread that cannot start raises std::system_error.
  explicit BasicPciService(boost::asio::io_context& owner);
  ~BasicPciService() override;

  // The card's next read on the read worker; `status` gets the read's status byte. The handler
  // runs on the server's loop, after the worker is done with the buffer and the status.
  void AsyncRead(const std::shared_ptr<BasicPciImplementation>& implementation, uint8_t* buffer,
                 size_t length, uint8_t* status, Handler handler);
  // The bytes to the card on the write worker; they stay untouched until the handler runs.
  void AsyncWrite(const std::shared_ptr<BasicPciImplementation>& implementation,
                  const uint8_t* bytes, size_t length, Handler handler);
  // The card is closed when the server's loop shuts down, so no worker waits on it then.
  void Adopt(const std::shared_ptr<BasicPciImplementation>& implementation);

private:
  struct Worker {
    boost::asio::io_context context;
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work;
    std::thread thread;
  };
  using OwnerWork = boost::asio::executor_work_guard<boost::asio::io_context::executor_type>;
  struct ReadOperation;

  // The server's loop is going: every card is closed, the workers stopped and joined, and
  // what they still held is destroyed while the loop's services stand.
  void shutdown() override;
  void Start(Worker& worker);
  void Stop();
  void RunRead(const std::shared_ptr<ReadOperation>& operation);

  boost::asio::io_context& owner;
  std::unique_ptr<Worker> reader, writer;
  std::mutex lock;  // over the adopted cards
  std::vector<std::weak_ptr<BasicPciImplementation>> adopted;
  bool stopped = false;
};
