// The seam: one driver in place at a time, swapped under a lock so a test may replace it while
// other threads open cards.
#include "platform/card_driver.hpp"

#include <cerrno>
#include <mutex>

#include "platform/card_node.hpp"

namespace platform {
namespace {

std::mutex& DriverLock() {
  static std::mutex lock;
  return lock;
}

// Null while the system's nodes serve.
std::shared_ptr<CardDriver>& Replacement() {
  static std::shared_ptr<CardDriver> driver;
  return driver;
}

std::shared_ptr<CardDriver> InPlace() {
  std::lock_guard<std::mutex> guard(DriverLock());
  return Replacement();
}

}  // namespace

std::shared_ptr<CardHandle> OpenCard(const std::string& name, int& error) {
  if (auto driver = InPlace()) return driver->Open(name, error);
  const std::string path = CardNodePath(name);
  if (path.empty()) {
    error = ENOENT;
    return nullptr;
  }
  return OpenCardNode(path, error);
}

std::vector<std::string> ListCards(int highest) {
  if (auto driver = InPlace()) return driver->List(highest);
  return ListCardNodes(highest);
}

std::shared_ptr<CardDriver> ReplaceCardDriver(std::shared_ptr<CardDriver> driver) {
  std::lock_guard<std::mutex> guard(DriverLock());
  std::swap(Replacement(), driver);
  return driver;
}

}  // namespace platform
