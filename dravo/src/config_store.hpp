// Interim stand-in for the settings store while it is being built elsewhere: reads the
// settings file, nothing more. Replaced by the real store at merge.
#pragma once

#include <boost/filesystem/path.hpp>
#include <boost/property_tree/ptree.hpp>

boost::filesystem::path DataDirectory();
boost::filesystem::path ServerDataDirectory();

class ConfigStore {
public:
  ConfigStore();
  bool modified = false;
  boost::property_tree::ptree tree;
};
