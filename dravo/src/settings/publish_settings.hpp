// Whether and under which name the server announces itself. Made once by the server thread,
// shared with every server core it builds, so a changed setting survives the restart it causes.
#pragma once

#include <string>

struct PublishSettings {
  bool publish = false;
  std::string name;
  int port = 0;
};

// Reads the publish settings from the settings file: "server.publish" (default false) and
// "server.name" (default the host name followed by " dravo"); the port is always 23.
void LoadPublishSettings(PublishSettings& settings);
