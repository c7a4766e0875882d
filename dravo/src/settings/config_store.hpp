// The server's lasting settings, kept in dravo.xml in its program-data folder. A store is
// short-lived: made on the stack for one read or one change, it reads the file when made,
// migrates the older dravo.ini once, and writes the file back when released if modified.
#pragma once

#include <boost/filesystem/path.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cstddef>
#include <string>

// <ProgramData>/Orvan and <ProgramData>/Orvan/dravo.
boost::filesystem::path DataDirectory();
boost::filesystem::path ServerDataDirectory();

// The largest file of the server data folder that is read (settings, certificate, key); no
// such file comes near it, and a larger one is refused unread.
constexpr size_t kLargestDataFile = 1u << 20;

class ConfigStore {
public:
  // The keys, as dotted paths into the tree.
  static constexpr const char* kServerName = "server.name";
  static constexpr const char* kServerPublish = "server.publish";
  static constexpr const char* kDhcp = "dhcp";
  static constexpr const char* kDhcpTimeout = "dhcp.timeout";
  static constexpr const char* kDhcpAssign = "dhcp.assign";
  static constexpr const char* kDhcpRemember = "dhcp.remember";
  static constexpr const char* kAssignMac = "mac";
  static constexpr const char* kAssignIp = "ip";
  static constexpr bool kServerPublishDefault = false;
  static constexpr int kDhcpTimeoutDefault = -1;

  // Creates the two folders when missing (throws boost::filesystem::filesystem_error when it
  // cannot), reads dravo.xml and migrates dravo.ini. A settings file that cannot be read or
  // parsed is renamed aside and the store starts empty.
  ConfigStore();
  // Writes the file now when modified; throws (boost::filesystem::filesystem_error with the
  // system's error, or std::runtime_error) when it cannot, leaving the file as it was.
  void Commit();
  // Writes the file when modified and not committed; a failure is reported on standard error,
  // never thrown.
  ~ConfigStore();
  ConfigStore(const ConfigStore&) = delete;
  ConfigStore& operator=(const ConfigStore&) = delete;

  // Marks the store modified and returns the tree for writing.
  boost::property_tree::ptree& Modify();
  // The tree for reading, e.g. Tree().get<int>(kDhcpTimeout, kDhcpTimeoutDefault).
  const boost::property_tree::ptree& Tree() const { return tree; }

  // The pure cores: bytes of dravo.xml / dravo.ini to a tree (throwing
  // boost::property_tree::ptree_error on bad input), and a tree to the bytes of dravo.xml.
  static boost::property_tree::ptree ParseSettings(const std::string& bytes);
  static boost::property_tree::ptree ParseLegacySettings(const std::string& bytes);
  static std::string SerializeSettings(const boost::property_tree::ptree& tree);

  // Deeper element nesting than this is refused before parsing: the parser recurses.
  static constexpr int kMaxNesting = 64;

private:
  void Load();
  void MigrateIni();
  void Save();

  bool modified = false;
  boost::property_tree::ptree tree;
  // Set when the settings file could not be read nor put aside: never write over it.
  bool readOnly = false;
  // Set when the legacy file was migrated: it goes once the settings file holds its values.
  bool removeLegacy = false;
};
