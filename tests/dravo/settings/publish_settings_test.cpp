// Reading the publish settings from the settings file.
#include "settings/publish_settings.hpp"
#include "support/temporary_program_data.hpp"

#include <boost/asio/ip/host_name.hpp>

class LoadPublish : public TemporaryProgramData {};

TEST_F(LoadPublish, DefaultsWithoutAFile) {
  PublishSettings settings;
  LoadPublishSettings(settings);
  EXPECT_FALSE(settings.publish);
  EXPECT_EQ(settings.name, boost::asio::ip::host_name() + " dravo");
  EXPECT_EQ(settings.port, 23);
}

TEST_F(LoadPublish, ValuesFromTheFile) {
  MakeServerFolder();
  Write(Server() / "dravo.xml",
        "<?xml version=\"1.0\" "
        "encoding=\"utf-8\"?>\n<server><name>lab</name><publish>true</publish></server>\n");
  PublishSettings settings;
  LoadPublishSettings(settings);
  EXPECT_TRUE(settings.publish);
  EXPECT_EQ(settings.name, "lab");
  EXPECT_EQ(settings.port, 23);
}

TEST_F(LoadPublish, UnreadablePublishFlagIsFalse) {
  MakeServerFolder();
  Write(Server() / "dravo.xml",
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<server><publish>maybe</publish></server>\n");
  PublishSettings settings;
  LoadPublishSettings(settings);
  EXPECT_FALSE(settings.publish);
}
