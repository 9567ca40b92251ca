#include "base/AlertService.h"

#include <gtest/gtest.h>

namespace toruna::base {
namespace {

class RecordingAlerts : public AlertService {
 public:
  void Alert(const std::string& text, const std::string& caption) override {
    shown.push_back(caption + "|" + text);
  }
  std::vector<std::string> shown;
};

TEST(AlertServiceTest, DefaultWritesCaptionAndTextToStandardError) {
  testing::internal::CaptureStderr();
  AlertService::Current().Alert("KAKAAAAAAAAAA", "Toruna");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Toruna: KAKAAAAAAAAAA\n");
}

TEST(AlertServiceTest, InstalledServiceReplacesTheDefaultUntilRemoved) {
  RecordingAlerts front;
  AlertService::Install(&front);
  testing::internal::CaptureStderr();
  AlertService::Current().Alert("text", "caption");
  std::string written = testing::internal::GetCapturedStderr();
  AlertService::Install(nullptr);
  EXPECT_EQ(front.shown, std::vector<std::string>{"caption|text"});
  EXPECT_EQ(written, "");

  testing::internal::CaptureStderr();
  AlertService::Current().Alert("again", "c");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "c: again\n");
  EXPECT_EQ(front.shown.size(), 1u);
}

}  // namespace
}  // namespace toruna::base
