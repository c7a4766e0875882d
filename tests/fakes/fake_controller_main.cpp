// The fake controller as a program of its own, for tests and benchmarks that want it in another
// process, or in another network namespace (started through nsenter). Prints "ready ADDRESS P1
// P2" once it serves ("ready LINK 0 0" when it serves a serial line through --pty LINK); then
// reads commands from standard input:
// "message TEXT", "record", "interrupt HEX..." (status bytes), "close", "monitor on|off",
// "array NAME SIZE" (these two answer "ok VERB" once done); it ends at "quit" or EOF.
#include <boost/program_options.hpp>

#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "fakes/fake_controller.hpp"

namespace po = boost::program_options;

int main(int argc, char** argv) {
  orvan::fakes::FakeControllerSettings settings;
  po::options_description described("fake_controller");
  described.add_options()("help", "this text")(
      "address", po::value(&settings.address)->default_value(settings.address), "IPv4 address")(
      "p1", po::value(&settings.commandPort)->default_value(0), "command port, 0 picks one")(
      "p2", po::value(&settings.unsolicitedPort)->default_value(0), "unsolicited port")(
      "identity", po::value(&settings.identity.identity), "reply to the revision query")(
      "serial", po::value(&settings.identity.serialNumber), "serial number")(
      "capability", po::value<std::vector<std::string>>(), "one capability line of \"QP\"")(
      "option-report", po::value(&settings.identity.optionReport), "reply to \"ID\"")(
      "discovery", po::value(&settings.discoveryInterfaces),
      "answer the discovery query on the interface with this IPv4 address (repeatable)")(

      "pty", po::value(&settings.pty), "serve a serial line: a pty whose slave this link names");
  try {
    po::variables_map values;
    po::store(po::parse_command_line(argc, argv, described), values);
    po::notify(values);
    if (values.count("help")) {
      std::cout << described;
      return 0;
    }
    if (values.count("capability")) {
      for (const auto& capability : values["capability"].as<std::vector<std::string>>()) {
        if (!settings.identity.capabilities.empty()) settings.identity.capabilities += "\r\n";
        settings.identity.capabilities += capability;
      }
    }
    orvan::fakes::FakeController controller(settings);
    controller.Start();
    const bool serial = !settings.pty.empty();
    std::cout << "ready " << (serial ? settings.pty : controller.Address()) << ' '
              << controller.CommandPort() << ' ' << controller.UnsolicitedPort() << std::endl;

    std::string line;
    while (std::getline(std::cin, line)) {
      std::istringstream words(line);
      std::string verb;
      words >> verb;
      if (verb == "quit") break;
      if (verb == "message") {
        std::string text;
        std::getline(words >> std::ws, text);
        controller.SendMessage(text);
      } else if (verb == "record") {
        controller.SendRecord();
      } else if (verb == "interrupt") {
        std::string status;
        unsigned byte;
        while (words >> std::hex >> byte) status += static_cast<char>(byte);
        controller.SendInterrupt(status);
      } else if (verb == "close") {
        controller.CloseConnections();
      } else if (verb == "monitor") {
        std::string state;
        words >> state;
        controller.SetMonitor(state == "on");
        std::cout << "ok monitor" << std::endl;  // the caller may go on once it reads this
      } else if (verb == "array") {
        std::string name;
        size_t size = 0;
        if (words >> name >> size) controller.DefineArray(name, size);
        std::cout << "ok array" << std::endl;
      }
    }
    controller.Stop();
  } catch (const std::exception& e) {
    std::cerr << "fake_controller: " << e.what() << std::endl;
    return 1;
  }
  return 0;
}
