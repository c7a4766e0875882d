// The PCI workers. A worker serves one operation at a time, the cards in the order their
// operations arrive, so every card's read waits for the others' bounded turns; a handler is
// moved into its post, so the resource it holds is never let go on a worker.
#include "resources/basic_pci_service.hpp"

#include "resources/basic_pci_implementation.hpp"

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <algorithm>

struct BasicPciService::ReadOperation {
  ReadOperation(std::weak_ptr<BasicPciImplementation> card, uint8_t* into, size_t room,
                uint8_t* statusByte, Handler done, OwnerWork ownerWork)
      : implementation(std::move(card)),
        buffer(into),
        length(room),
        status(statusByte),
        handler(std::move(done)),
        work(std::move(ownerWork)) {}
  std::weak_ptr<BasicPciImplementation> implementation;
  uint8_t* buffer;
  size_t length;
  uint8_t* status;
  Handler handler;
  OwnerWork work;  // the server's loop does not run out of work while this is pending
};

BasicPciService::BasicPciService(boost::asio::io_context& context)
    : boost::asio::execution_context::service(context),
      owner(context),
      reader(std::make_unique<Worker>()),
      writer(std::make_unique<Worker>()) {
  try {
    Start(*reader);
    Start(*writer);
  } catch (...) {
    Stop();
    throw;
  }
}

BasicPciService::~BasicPciService() { Stop(); }

void BasicPciService::shutdown() { Stop(); }

void BasicPciService::Start(Worker& worker) {
  worker.work.emplace(worker.context.get_executor());
  worker.thread = std::thread([&worker] {
    for (;;) {
      try {
        worker.context.run();
        return;
      } catch (...) {
        // An operation that threw is gone; the worker goes on with the next.
      }
    }
  });
}

void BasicPciService::Stop() {
  std::vector<std::weak_ptr<BasicPciImplementation>> cards;
  {
    std::lock_guard<std::mutex> guard(lock);
    if (stopped) return;
    stopped = true;
    cards.swap(adopted);
  }
  // Wakes a worker that waits on a card.
  for (const auto& card : cards) {
    if (const auto implementation = card.lock()) implementation->Close();
  }
  for (Worker* worker : {reader.get(), writer.get()}) {
    if (!worker) continue;
    worker->work.reset();
    worker->context.stop();
    if (worker->thread.joinable()) worker->thread.join();
  }
  // Operations that never ran go with their contexts, here on the server's thread.
  reader.reset();
  writer.reset();
}

void BasicPciService::Adopt(const std::shared_ptr<BasicPciImplementation>& implementation) {
  std::lock_guard<std::mutex> guard(lock);
  adopted.erase(std::remove_if(adopted.begin(), adopted.end(),
                               [](const auto& card) { return card.expired(); }),
                adopted.end());
  adopted.push_back(implementation);
}

void BasicPciService::AsyncRead(const std::shared_ptr<BasicPciImplementation>& implementation,
                                uint8_t* buffer, size_t length, uint8_t* status, Handler handler) {
  if (!reader) return;  // the loop is shutting down: nothing completes any more
  auto operation =
      std::make_shared<ReadOperation>(implementation, buffer, length, status, std::move(handler),
                                      boost::asio::make_work_guard(owner));
  boost::asio::post(reader->context, [this, operation] { RunRead(operation); });
}

void BasicPciService::RunRead(const std::shared_ptr<ReadOperation>& operation) {
  auto implementation = operation->implementation.lock();
  size_t count = 0;
  boost::system::error_code error = boost::asio::error::operation_aborted;
  if (implementation) {
    const auto at = implementation->NextReadAt();
    if (at > BasicPciImplementation::Clock::now()) {
      // The card found nothing a moment ago: the other cards go first meanwhile.
      auto pause = std::make_shared<boost::asio::steady_timer>(reader->context, at);
      pause->async_wait(
          [this, operation, pause](const boost::system::error_code&) { RunRead(operation); });
      return;
    }
    uint8_t status = 0;
    error = implementation->Read(operation->buffer, operation->length, status, count);
    *operation->status = status;
    implementation.reset();
  }
  boost::asio::post(
      owner, [handler = std::move(operation->handler), error, count] { handler(error, count); });
  operation->work.reset();
}

void BasicPciService::AsyncWrite(const std::shared_ptr<BasicPciImplementation>& implementation,
                                 const uint8_t* bytes, size_t length, Handler handler) {
  if (!writer) return;
  std::weak_ptr<BasicPciImplementation> card = implementation;
  boost::asio::post(writer->context, [this, card, bytes, length, handler = std::move(handler),
                                      work = boost::asio::make_work_guard(owner)]() mutable {
    size_t written = 0;
    boost::system::error_code error = boost::asio::error::operation_aborted;
    if (auto implementation = card.lock()) error = implementation->Write(bytes, length, written);
    boost::asio::post(owner,
                      [handler = std::move(handler), error, written] { handler(error, written); });
    work.reset();
  });
}
