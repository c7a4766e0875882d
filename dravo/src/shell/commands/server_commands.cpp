// The commands about servers on the network, which need mDNS: the servers found, one server's
// details, this server's status and announcement, and the addresses of its remote clients.
#include <boost/algorithm/string.hpp>
#include <boost/filesystem/exception.hpp>

#include <stdexcept>
#include <string>
#include <vector>

#include "protocol/shell_wire.hpp"
#include "settings/config_store.hpp"
#include "settings/publish_settings.hpp"
#include "shell/command_shell.hpp"
#include "shell/commands/command_options.hpp"
#include "shell/shell_server.hpp"

namespace po = boost::program_options;
using shell_options::Parse;
using shell_options::Table;

bool CommandShell::RefuseWithoutMdns() {
  if (mdnsSupported) return false;
  Fail("mDNS not supported on this installation of DRAVO");
  return true;
}

void CommandShell::ServerInfoCommand(const std::vector<std::string>& args) {
  if (RefuseWithoutMdns()) return;
  std::vector<std::string> name;
  auto table = Table("");
  table.add_options()("name,n", po::value<std::vector<std::string>>(&name)->multitoken(),
                      "Name of Service.");
  const auto given = Parse(args, table);
  if (!given.count("name")) return;
  Reply(0, server.ServerInfo(boost::algorithm::join(name, " ")));
}

void CommandShell::ServerStatusCommand(const std::vector<std::string>&) {
  if (RefuseWithoutMdns()) return;
  Reply(0, server.ServerStatus());
}

void CommandShell::ServersCommand(const std::vector<std::string>&) {
  if (RefuseWithoutMdns()) return;
  Reply(0, server.ListServers());
}

void CommandShell::ConnectionsCommand(const std::vector<std::string>&) {
  if (RefuseWithoutMdns()) return;
  Reply(0, server.ListConnections());
}

void CommandShell::PublishCommand(const std::vector<std::string>& args) {
  if (RefuseWithoutMdns()) return;
  std::vector<std::string> name;
  PublishSettings settings;
  settings.port = orvan::protocol::kServerPort;
  auto table = Table("");
  table.add_options()("name,n", po::value<std::vector<std::string>>(&name)->multitoken(),
                      "Name of Service.")("port,p", po::value<std::int32_t>(&settings.port),
                                          "Port Number.")("remove,r", "Remove Server.")(
      "save,s", "Save Configuration.");
  const auto given = Parse(args, table);
  settings.name = boost::algorithm::join(name, " ");
  bool act = false;
  if (given.count("remove")) {
    settings.publish = false;
    act = true;
  } else if (given.count("name") && given.count("port")) {
    settings.publish = true;
    act = true;
  }
  if (act) {
    // Refused before anything changes: a restart that cannot listen, or a saved setting that
    // no later start could serve, would take the server away from every client.
    server.CheckListeners(settings);
    if (given.count("save")) SavePublishSettings(settings);
    server.ApplyPublishSettings(settings);
  }
  Reply(0, "");
}

void CommandShell::SavePublishSettings(const PublishSettings& settings) {
  // The port is not kept.
  try {
    ConfigStore store;
    auto& tree = store.Modify();
    tree.put(ConfigStore::kServerPublish, settings.publish);
    tree.put(ConfigStore::kServerName, settings.name);
    store.Commit();
  } catch (const boost::filesystem::filesystem_error& error) {
    throw std::runtime_error(error.code().message());
  }
}
