// Interim stand-in for the settings store (see the header).
#include "config_store.hpp"

#include "program_data.hpp"

#include <boost/filesystem/operations.hpp>
#include <boost/property_tree/xml_parser.hpp>

boost::filesystem::path DataDirectory() {
  return boost::filesystem::path(platform::ProgramDataDirectory()) / "Orvan";
}

boost::filesystem::path ServerDataDirectory() { return DataDirectory() / "dravo"; }

ConfigStore::ConfigStore() {
  const auto file = ServerDataDirectory() / "dravo.xml";
  if (boost::filesystem::exists(file)) boost::property_tree::read_xml(file.string(), tree);
}
