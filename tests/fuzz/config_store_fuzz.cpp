// Arbitrary bytes as the settings file (and as the legacy INI file): every input gives a
// tree, possibly empty, or a property-tree error; the keys read with their defaults.
#include <boost/property_tree/ptree.hpp>
#include <cstdint>
#include <string>

#include "settings/config_store.hpp"

namespace pt = boost::property_tree;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  pt::ptree tree;
  try {
    tree = ConfigStore::ParseSettings(bytes);
  } catch (const pt::ptree_error&) {
    tree.clear();  // the store starts empty
  }
  (void)tree.get<std::string>(ConfigStore::kServerName, "");
  (void)tree.get<bool>(ConfigStore::kServerPublish, ConfigStore::kServerPublishDefault);
  (void)tree.get<int>(ConfigStore::kDhcpTimeout, ConfigStore::kDhcpTimeoutDefault);
  try {
    (void)ConfigStore::SerializeSettings(tree);
  } catch (const pt::ptree_error&) {
  }
  try {
    const pt::ptree legacy = ConfigStore::ParseLegacySettings(bytes);
    (void)legacy.get<bool>("Server.Publish", false);
  } catch (const pt::ptree_error&) {
  }
  return 0;
}
