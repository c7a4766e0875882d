// The manager: a publisher named by the settings, and a watcher that browses from the start.
#include "zeroconf/zeroconf_manager.hpp"

#include "settings/publish_settings.hpp"

ZeroconfManager::ZeroconfManager(boost::asio::io_context& loop, PublishSettings& publish)
    : publisher("", "_dravo", "_tcp"), watcher("_dravo", "_tcp"), io(loop), settings(publish) {
  if (!settings.name.empty()) publisher.SetInstanceName(settings.name);
  publisher.SetPort(static_cast<std::uint16_t>(settings.port));
  watcher.Start();
}
