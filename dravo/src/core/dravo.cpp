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
#include <boost/algorithm/string/split.hpp>
#include <boost/program_options.hpp>

#include <algorithm>
#include <iostream>

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

// The listen addresses are parsed but not used: where the server listens follows the
// publish setting.
void Dravo::Run(std::shared_ptr<std::vector<std::string>>) {
  try {
    PublishSettings settings;
    if (IsWindows10OrLater()) LoadPublishSettings(settings);
    if (!CreateCertificate()) {
      std::cerr << "Failed to sign certificate" << std::endl;
      std::lock_guard<std::mutex> lock(stateLock);
      failure = "Failed to sign certificate";
      return;
    }
    running = true;
    int state = Server::kRestart;
    while (state == Server::kRestart) {
      auto core = MakeServerCore();
      Server* serving = nullptr;
      {
        std::lock_guard<std::mutex> lock(stateLock);
        if (stopRequested) break;  // Stop came between two cores
        serverCore = std::move(core);
        serverCore->onListening = [this] {
          {
            std::lock_guard<std::mutex> lock(stateLock);
            listening = true;
          }
          servingChanged.notify_all();
        };
        serving = serverCore.get();
      }
      std::exception_ptr raised;
      try {
        state = serving->Run(&settings);
      } catch (...) {
        raised = std::current_exception();
      }
      std::unique_ptr<Server> finished;
      {
        std::lock_guard<std::mutex> lock(stateLock);
        finished = std::move(serverCore);
      }
      finished.reset();
      if (raised) std::rethrow_exception(raised);
    }
  } catch (const std::exception& error) {
    std::lock_guard<std::mutex> lock(stateLock);
    failure = error.what();
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
