// The exported entry class: parses the arguments, runs the server thread that builds a server
// core, serves, and builds a fresh core for every restart until it is stopped.
#include "dravo.hpp"

#include "core/composition_root.hpp"
#include "core/server.hpp"
#include "core/windows_version.hpp"
#include "platform/descriptor_limit.hpp"
#include "settings/create_certificate.hpp"
#include "settings/publish_settings.hpp"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/join.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/filesystem/exception.hpp>
#include <boost/program_options.hpp>
#include <boost/system/system_error.hpp>

#include <algorithm>
#include <iostream>
#include <stdexcept>

Dravo::Dravo() = default;

Dravo::~Dravo() { Stop(); }

int Dravo::Start(const std::string& arguments) {
  namespace po = boost::program_options;
  auto listenAddresses = std::make_shared<std::vector<std::string>>();
  try {
    std::vector<std::string> words;
    boost::split(words, arguments, boost::is_any_of(" "), boost::token_compress_on);
    words.erase(std::remove(words.begin(), words.end(), std::string()), words.end());
    po::options_description options("dravo options", 80, 40);
    options.add_options()("listen,l", po::value<std::vector<std::string>>(listenAddresses.get()),
                          "Addresses for listening for requests");
    po::variables_map values;
    po::store(po::command_line_parser(words).options(options).run(), values);
    po::notify(values);
  } catch (const std::exception&) {
    return -1;
  }

  std::lock_guard<std::mutex> lock(stateLock);
  if (serverThread) return -1;  // already started; Stop first
  stopRequested = false;
  listening = ended = false;
  failure.clear();
  platform::RaiseDescriptorLimit();
  try {
    serverThread = std::make_unique<std::thread>(&Dravo::Run, this, listenAddresses);
  } catch (const std::system_error&) {
    return -1;
  }
  return 0;
}

namespace {

// The failure as one line: Boost's " [system:98]" (and any source location after it) is
// dropped from a system error, leaving "bind 127.0.0.1 port 23: Address already in use".
std::string FailureText(const std::exception& error) {
  std::string text = error.what();
  if (dynamic_cast<const boost::system::system_error*>(&error)) {
    const size_t code = text.rfind(" [");
    if (code != std::string::npos && text.back() == ']') text.erase(code);
  }
  return text;
}

std::string Join(const std::vector<std::string>& addresses) {
  return boost::algorithm::join(addresses, ", ");
}

}  // namespace

// The listen addresses are parsed but not used: where the server listens follows the
// publish setting.
void Dravo::Run(std::shared_ptr<std::vector<std::string>>) {
  try {
    PublishSettings settings;
    try {
      if (IsWindows10OrLater()) LoadPublishSettings(settings);
    } catch (const boost::filesystem::filesystem_error& error) {
      throw std::runtime_error("data folder " + error.path1().string() + ": " +
                               error.code().message());
    }
    std::string why;
    if (!CreateCertificate(why)) {
      std::cerr << "Failed to sign certificate" << std::endl;
      throw std::runtime_error("certificate: " + why);
    }
    running = true;
    // Where a core goes back to when it cannot bind the listeners its settings ask for: those
    // of the last core that bound them, and at first those of a server that is not published.
    PublishSettings fallback = settings;
    fallback.publish = false;
    int state = Server::kRestart;
    while (state == Server::kRestart) {
      auto core = MakeServerCore();
      Server* serving = nullptr;
      bool bound = false;
      {
        std::lock_guard<std::mutex> lock(stateLock);
        if (stopRequested) break;  // Stop came between two cores
        serverCore = std::move(core);
        serverCore->onListening = [this, &bound, &fallback, &settings] {
          bound = true;
          fallback = settings;
          {
            std::lock_guard<std::mutex> lock(stateLock);
            listening = true;
          }
          servingChanged.notify_all();
        };
        serving = serverCore.get();
      }
      std::exception_ptr raised;
      std::string raisedText;
      try {
        state = serving->Run(&settings);
      } catch (const std::exception& error) {
        raised = std::current_exception();
        raisedText = FailureText(error);
      } catch (...) {
        raised = std::current_exception();
      }
      std::unique_ptr<Server> finished;
      {
        std::lock_guard<std::mutex> lock(stateLock);
        finished = std::move(serverCore);
      }
      finished.reset();
      const auto wanted = Server::ListenAddressesFor(&settings);
      const auto previous = Server::ListenAddressesFor(&fallback);
      if (raised && !bound && wanted != previous) {
        // Serving where it did (or where an unpublished server does) beats not serving.
        std::cerr << "Cannot listen on " << Join(wanted) << " (" << raisedText << "); serving on "
                  << Join(previous) << std::endl;
        settings = fallback;
        state = Server::kRestart;
        continue;
      }
      if (raised) std::rethrow_exception(raised);
    }
  } catch (const std::exception& error) {
    std::lock_guard<std::mutex> lock(stateLock);
    failure = FailureText(error);
  } catch (...) {
    std::lock_guard<std::mutex> lock(stateLock);
    failure = "unknown error";
  }
  running = false;
  {
    std::lock_guard<std::mutex> lock(stateLock);
    ended = true;
  }
  servingChanged.notify_all();
}

bool Dravo::WaitServing(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(stateLock);
  servingChanged.wait_for(lock, timeout, [this] { return listening || ended; });
  return listening;
}

int Dravo::Stop() {
  std::unique_ptr<std::thread> thread;
  {
    std::lock_guard<std::mutex> lock(stateLock);
    stopRequested = true;
    if (serverCore) serverCore->Shutdown();
    thread = std::move(serverThread);
  }
  if (thread && thread->joinable()) {
    if (thread->get_id() == std::this_thread::get_id())
      thread->detach();  // cannot wait for itself; the thread ends once its core returns
    else
      thread->join();
  }
  Free();
  return 0;
}

void Dravo::Free() {
  std::lock_guard<std::mutex> lock(stateLock);
  if (serverThread && serverThread->joinable()) serverThread->detach();
  serverThread.reset();
  serverCore.reset();
}
