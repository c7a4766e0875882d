// The settings store: folders, round trip, typed reads, the one-time legacy migration,
// and corrupt or unwritable files that must neither fail a start nor lose anything.
#include "settings/config_store.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>

#include "support/temporary_program_data.hpp"

namespace fs = boost::filesystem;
namespace pt = boost::property_tree;

using ConfigStoreTest = TemporaryProgramData;

TEST_F(ConfigStoreTest, FirstStoreMakesBothFoldersAndWritesNothingUnchanged) {
  EXPECT_EQ(DataDirectory(), root / "Orvan");
  EXPECT_EQ(ServerDataDirectory(), Server());
  {
    ConfigStore store;
    EXPECT_TRUE(store.Tree().empty());
  }
  EXPECT_TRUE(fs::is_directory(Server()));
  EXPECT_FALSE(fs::exists(Server() / "dravo.xml"));
}

TEST_F(ConfigStoreTest, ModifiedStoreRoundTripsThroughTheFile) {
  const std::string name = " <lab> & \"bench\" 2 ";
  {
    ConfigStore store;
    pt::ptree& tree = store.Modify();
    tree.put(ConfigStore::kServerName, name);
    tree.put(ConfigStore::kServerPublish, true);
    tree.put(ConfigStore::kDhcpTimeout, 5000);
    for (const char* ip : {"192.168.0.10", "192.168.0.11"}) {
      pt::ptree assign;
      assign.put(ConfigStore::kAssignMac, "00:50:4C:20:01:02");
      assign.put(ConfigStore::kAssignIp, ip);
      tree.add_child(ConfigStore::kDhcpAssign, assign);
    }
  }
  const std::string file = Read(Server() / "dravo.xml");
  EXPECT_EQ(file.rfind("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<server><name>", 0), 0u)
      << file;
  EXPECT_EQ(fs::status(Server() / "dravo.xml").permissions(), fs::perms(0644));
  EXPECT_EQ(std::distance(fs::directory_iterator(Server()), fs::directory_iterator()), 1)
      << "a temporary file was left behind";

  ConfigStore again;
  EXPECT_EQ(again.Tree().get<std::string>(ConfigStore::kServerName), name);
  EXPECT_TRUE(again.Tree().get<bool>(ConfigStore::kServerPublish, false));
  EXPECT_EQ(again.Tree().get<int>(ConfigStore::kDhcpTimeout, -1), 5000);
  const pt::ptree& dhcp = again.Tree().get_child(ConfigStore::kDhcp);
  EXPECT_EQ(dhcp.count("timeout"), 1u);
  EXPECT_EQ(dhcp.count("assign"), 2u);
}

TEST(ConfigStoreParse, TypedReadsFallBackToTheirDefaults) {
  struct Case {
    const char* file;
    bool publish;
    int timeout;
  };
  const std::array<Case, 6> cases{{
      {"", false, -1},
      {"<server><publish>true</publish></server><dhcp><timeout>0</timeout></dhcp>", true, 0},
      {"<server><publish>1</publish></server><dhcp><timeout>-5</timeout></dhcp>", true, -5},
      {"<server><publish>0</publish></server>", false, -1},
      {"<server><publish>yes</publish></server><dhcp><timeout>abc</timeout></dhcp>", false, -1},
      {"<?xml version=\"1.0\"?><!-- kept --><dhcp><timeout>12x</timeout></dhcp>", false, -1},
  }};
  for (const Case& c : cases) {
    const pt::ptree tree = ConfigStore::ParseSettings(c.file);
    EXPECT_EQ(tree.get<bool>(ConfigStore::kServerPublish, ConfigStore::kServerPublishDefault),
              c.publish)
        << c.file;
    EXPECT_EQ(tree.get<int>(ConfigStore::kDhcpTimeout, ConfigStore::kDhcpTimeoutDefault), c.timeout)
        << c.file;
  }
}

TEST(ConfigStoreParse, RefusesMalformedAndTooDeepFiles) {
  std::string deep;
  for (int i = 0; i <= ConfigStore::kMaxNesting; ++i) deep += "<a>";
  std::string shallow;
  for (int i = 0; i < ConfigStore::kMaxNesting; ++i) shallow = "<a>" + shallow + "</a>";
  for (const std::string& bad : {std::string("<server><name>x</server>"), std::string("<a"),
                                 std::string("\x01\xff<<"), std::string("<a/>\0<", 5), deep + "x"})
    EXPECT_THROW(ConfigStore::ParseSettings(bad), pt::ptree_error) << bad;
  EXPECT_NO_THROW(ConfigStore::ParseSettings(shallow));
  // A comment or an attribute must not hide nesting from the check.
  std::string hidden;
  for (int i = 0; i <= ConfigStore::kMaxNesting; ++i) hidden += "<a b='</a>'><!-- </a> -->";
  EXPECT_THROW(ConfigStore::ParseSettings(hidden), pt::ptree_error);
}

TEST_F(ConfigStoreTest, LegacyFileIsMigratedOnceAndRemovedAfterTheWrite) {
  MakeServerFolder();
  Write(Server() / "dravo.xml",
        "<server><name>old</name></server><dhcp><timeout>7</timeout></dhcp>");
  Write(Server() / "dravo.ini", "[Server]\nName=lab\nPublish=true\n");
  {
    ConfigStore store;
    EXPECT_EQ(store.Tree().get<std::string>(ConfigStore::kServerName), "lab");
    EXPECT_TRUE(store.Tree().get<bool>(ConfigStore::kServerPublish));
    EXPECT_EQ(store.Tree().get<int>(ConfigStore::kDhcpTimeout), 7);
    EXPECT_TRUE(fs::exists(Server() / "dravo.ini")) << "removed before the settings were written";
  }
  EXPECT_FALSE(fs::exists(Server() / "dravo.ini"));
  const pt::ptree written = ConfigStore::ParseSettings(Read(Server() / "dravo.xml"));
  EXPECT_EQ(written.get<std::string>(ConfigStore::kServerName), "lab");
  EXPECT_EQ(written.get<std::string>(ConfigStore::kServerPublish), "true");
  ConfigStore next;
  EXPECT_EQ(next.Tree().get<std::string>(ConfigStore::kServerName), "lab");
}

TEST_F(ConfigStoreTest, LegacyFileWithoutNameIsDeletedAndChangesNothing) {
  MakeServerFolder();
  Write(Server() / "dravo.ini", "[Server]\nPublish=true\n");
  {
    ConfigStore store;
    EXPECT_TRUE(store.Tree().empty());
  }
  EXPECT_FALSE(fs::exists(Server() / "dravo.ini"));
  EXPECT_FALSE(fs::exists(Server() / "dravo.xml"));
}

TEST_F(ConfigStoreTest, CorruptSettingsAreKeptAsideAndTheStoreStartsEmpty) {
  MakeServerFolder();
  const std::string first = "<server><name>lab</server>", second("\x00\x01<garbage", 10);
  for (const std::string& bytes : {first, second}) {
    Write(Server() / "dravo.xml", bytes);
    testing::internal::CaptureStderr();
    {
      ConfigStore store;
      EXPECT_TRUE(store.Tree().empty());
    }
    EXPECT_NE(testing::internal::GetCapturedStderr().find("cannot be used"), std::string::npos);
    EXPECT_FALSE(fs::exists(Server() / "dravo.xml"));
  }
  EXPECT_EQ(Read(Server() / "dravo.xml.corrupt"), first);
  EXPECT_EQ(Read(Server() / "dravo.xml.corrupt.2"), second);
  {
    ConfigStore store;
    store.Modify().put(ConfigStore::kDhcpTimeout, 0);
  }
  ConfigStore again;
  EXPECT_EQ(again.Tree().get<int>(ConfigStore::kDhcpTimeout), 0);
}

TEST_F(ConfigStoreTest, SettingsFileThatIsNoRegularFileIsKeptAsideWithoutWaiting) {
  MakeServerFolder();
  ASSERT_EQ(mkfifo((Server() / "dravo.xml").c_str(), 0600), 0);
  testing::internal::CaptureStderr();
  alarm(20);  // a store that waits for a writer ends the program here rather than hanging it
  {
    ConfigStore store;
    EXPECT_TRUE(store.Tree().empty());
  }
  alarm(0);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("not a regular file"), std::string::npos);
  EXPECT_EQ(fs::status(Server() / "dravo.xml.corrupt").type(), fs::fifo_file);
}

TEST_F(ConfigStoreTest, SettingsFileOverOneMebibyteIsKeptAsideUnread) {
  MakeServerFolder();
  const std::string head = "<server><name>lab</name></server>";
  Write(Server() / "dravo.xml", head + std::string((1u << 20) + 1 - head.size(), ' '));
  testing::internal::CaptureStderr();
  {
    ConfigStore store;
    EXPECT_TRUE(store.Tree().empty());
  }
  EXPECT_NE(testing::internal::GetCapturedStderr().find("larger"), std::string::npos);
  EXPECT_TRUE(fs::exists(Server() / "dravo.xml.corrupt"));

  // One byte less is read.
  Write(Server() / "dravo.xml", head + std::string((1u << 20) - head.size(), ' '));
  ConfigStore store;
  EXPECT_EQ(store.Tree().get<std::string>(ConfigStore::kServerName), "lab");
}

TEST_F(ConfigStoreTest, CommitWritesAtOnceOrThrowsAndTheReleaseDoesNotTryAgain) {
  MakeServerFolder();
  {
    ConfigStore store;
    store.Modify().put(ConfigStore::kServerName, "lab");
    store.Commit();
    EXPECT_EQ(ConfigStore().Tree().get<std::string>(ConfigStore::kServerName), "lab");
  }
  testing::internal::CaptureStderr();
  {
    ConfigStore store;
    store.Modify().put(ConfigStore::kServerName, "other");
    // A folder in the settings file's place makes the final rename fail.
    fs::rename(Server() / "dravo.xml", Server() / "kept.xml");
    fs::create_directory(Server() / "dravo.xml");
    Write(Server() / "dravo.xml" / "x", "");
    EXPECT_THROW(store.Commit(), fs::filesystem_error);
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_TRUE(fs::exists(Server() / "dravo.xml" / "x"));
}

TEST_F(ConfigStoreTest, CorruptLegacyFileIsKeptAsideAndSettingsStay) {
  MakeServerFolder();
  Write(Server() / "dravo.xml", "<server><name>kept</name></server>");
  Write(Server() / "dravo.ini", "[Server]\nName=a\nName=b\n");  // duplicate key: unparsable
  testing::internal::CaptureStderr();
  {
    ConfigStore store;
    EXPECT_EQ(store.Tree().get<std::string>(ConfigStore::kServerName), "kept");
  }
  testing::internal::GetCapturedStderr();
  EXPECT_TRUE(fs::exists(Server() / "dravo.ini.corrupt"));
  EXPECT_FALSE(fs::exists(Server() / "dravo.ini"));
}

TEST_F(ConfigStoreTest, FailedWriteAtReleaseIsReportedAndKeepsTheLegacyFile) {
  MakeServerFolder();
  Write(Server() / "dravo.ini", "[Server]\nName=lab\n");
  testing::internal::CaptureStderr();
  {
    ConfigStore store;
    // A folder in the settings file's place makes the final rename fail.
    fs::create_directory(Server() / "dravo.xml");
    Write(Server() / "dravo.xml" / "x", "");
  }
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Cannot save settings"), std::string::npos);
  EXPECT_TRUE(fs::exists(Server() / "dravo.ini"));
  EXPECT_EQ(std::distance(fs::directory_iterator(Server()), fs::directory_iterator()), 2);

  // The next store puts the folder aside, migrates again and saves.
  testing::internal::CaptureStderr();
  {
    ConfigStore store;
    EXPECT_EQ(store.Tree().get<std::string>(ConfigStore::kServerName), "lab");
  }
  testing::internal::GetCapturedStderr();
  EXPECT_TRUE(fs::is_directory(Server() / "dravo.xml.corrupt"));
  EXPECT_FALSE(fs::exists(Server() / "dravo.ini"));
  EXPECT_EQ(ConfigStore::ParseSettings(Read(Server() / "dravo.xml"))
                .get<std::string>(ConfigStore::kServerName),
            "lab");
}

TEST_F(ConfigStoreTest, FolderThatCannotBeMadeFailsTheStore) {
  Write(root / "Orvan", "a file where the folder belongs");
  EXPECT_THROW(ConfigStore(), fs::filesystem_error);
}
