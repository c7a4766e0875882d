// Reading the publish settings when the server thread starts.
#include "settings/publish_settings.hpp"

#include "protocol/shell_wire.hpp"
#include "settings/config_store.hpp"

#include <boost/asio/ip/host_name.hpp>

void LoadPublishSettings(PublishSettings& settings) {
  const ConfigStore store;
  settings.publish = store.Tree().get<bool>("server.publish", false);
  settings.name =
      store.Tree().get<std::string>("server.name", boost::asio::ip::host_name() + " dravo");
  settings.port = orvan::protocol::kServerPort;
}
