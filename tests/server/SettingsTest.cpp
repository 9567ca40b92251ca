#include "server/clsSettings.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/RaisedError.h"

namespace toruna::server {
namespace {

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/toruna-settings-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/Velmor Software.conf";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  void Write(const std::string& content) {
    std::ofstream out(path_, std::ios::binary);
    out << content;
  }
  std::string Content() {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  std::string dir_;
  std::string path_;
};

TEST_F(SettingsTest, MissingFileOrKeyReadsEmpty) {
  clsSettings settings(path_);
  EXPECT_EQ(settings.RegString("Servername"), "");
  EXPECT_EQ(settings.RegVal("Servername"), 0);

  Write("[Toruna]\nOther=1\n");
  EXPECT_EQ(settings.RegString("Servername"), "");
  EXPECT_EQ(settings.RegVal("Servername"), 0);
}

TEST_F(SettingsTest, KeepsBlanksAroundTheValue) {
  Write("[Toruna]\nServername=  Lab 3  \n");
  EXPECT_EQ(clsSettings(path_).RegString("Servername"), "  Lab 3  ");
  Write("[Toruna]\r\nServername=\"  Lab 3  \"\r\n");
  EXPECT_EQ(clsSettings(path_).RegString("Servername"), "  Lab 3  ");
}

TEST_F(SettingsTest, FindsTheKeyOnlyInItsOwnSection) {
  Write(
      "; comment\n"
      "Servername=top level\n"
      "[Other]\n"
      "Servername=wrong section\n"
      "[Toruna]\n"
      "# Servername=commented out\n"
      "ServernameX=longer key\n"
      "Server=shorter key\n"
      "servername=Lab=3\n"
      "Servername=second one\n"
      "[Later]\n"
      "Servername=after\n");
  clsSettings settings(path_);
  EXPECT_EQ(settings.RegString("Servername"), "Lab=3");
  EXPECT_EQ(settings.RegString("Server"), "shorter key");
  EXPECT_EQ(settings.RegString("Missing"), "");
}

TEST_F(SettingsTest, RegValReadsTheTextAsANumber) {
  Write("[Toruna]\nA= 12 34 \nB=2.5\nC=&H10\nD=text\nE=9999999999\n");
  clsSettings settings(path_);
  EXPECT_EQ(settings.RegVal("A"), 1234);
  EXPECT_EQ(settings.RegVal("B"), 2);
  EXPECT_EQ(settings.RegVal("C"), 16);
  EXPECT_EQ(settings.RegVal("D"), 0);
  EXPECT_THROW(settings.RegVal("E"), base::RaisedError);
}

TEST_F(SettingsTest, WritesIntoTheSectionAndKeepsEverythingElse) {
  Write("[Other]\nServername=keep\n[Toruna]\nA=1\n\n[Later]\nB=2\n");
  clsSettings settings(path_);
  settings.SetRegString("Servername", "  Lab 3  ");
  settings.SetRegVal("A", -5);
  EXPECT_EQ(settings.RegString("Servername"), "  Lab 3  ");
  EXPECT_EQ(settings.RegVal("A"), -5);
  EXPECT_EQ(Content(),
            "[Other]\nServername=keep\n[Toruna]\nA=-5\nServername=\"  Lab 3  \"\n\n[Later]\nB=2\n");
}

TEST_F(SettingsTest, WritingCreatesTheFileAndItsFolder) {
  const std::string nested = dir_ + "/sub/Velmor Software.conf";
  clsSettings settings(nested);
  settings.SetRegString("Servername", "Lab");
  EXPECT_EQ(clsSettings(nested).RegString("Servername"), "Lab");
}

TEST_F(SettingsTest, DefaultPathFollowsXdgConfigHome) {
  const char* old = getenv("XDG_CONFIG_HOME");
  const std::string saved = old ? old : "";
  setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
  EXPECT_EQ(clsSettings::DefaultPath(), path_);
  Write("[Toruna]\nServername=From XDG\n");
  EXPECT_EQ(clsSettings().RegString("Servername"), "From XDG");

  unsetenv("XDG_CONFIG_HOME");
  const char* home = getenv("HOME");
  EXPECT_EQ(clsSettings::DefaultPath(),
            std::string(home ? home : "") + "/.config/Velmor Software.conf");
  if (old) setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
}

}  // namespace
}  // namespace toruna::server
