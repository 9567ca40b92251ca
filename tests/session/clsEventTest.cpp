#include "session/clsEvent.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "SessionTestSupport.h"
#include "net/modNetSocket.h"
#include "protocol/Frame.h"
#include "session/clsClient.h"

namespace toruna::session {
namespace {

class clsEventTest : public testing::UnconnectedSessions {
 protected:
  std::vector<uint8_t> data = protocol::frames::EventData(1, 7);
};

TEST_F(clsEventTest, InitStoresTheValuesAndTheIdComesFromTheSharedCounter) {
  auto first = NewSession();
  clsEvent event(app);
  auto second = NewSession();
  EXPECT_EQ(first->ID(), 1);
  EXPECT_EQ(event.ID(), 2);
  EXPECT_EQ(second->ID(), 3);
  // The texts come as on the wire (Windows-1252) and are kept so.
  event.Init(-5, 300, "Temp", "\xB0" "C");
  EXPECT_EQ(event.Interval(), -5);
  EXPECT_EQ(event.Max(), 300);
  EXPECT_EQ(event.name(), "Temp");
  EXPECT_EQ(event.Unit(), "°C");
  EXPECT_EQ(std::string(event.WireText().begin(), event.WireText().end()),
            std::string("Temp\0\xB0" "C", 7));
}

TEST_F(clsEventTest, SubscribersAreKeptOnceAndUnknownRemovalsChangeNothing) {
  clsEvent event(app);
  auto a = NewSession();
  auto b = NewSession();
  event.AddClient(*a);
  event.AddClient(*a);
  EXPECT_EQ(event.ClientCount(), 1);
  event.AddClient(*b);
  event.RemoveClient(999);
  EXPECT_EQ(event.ClientCount(), 2);
  event.RemoveClient(a->ID());
  EXPECT_EQ(event.ClientCount(), 1);
  EXPECT_EQ(event.Clients.IdAt(1), b->ID());
}

TEST_F(clsEventTest, BroadcastServesTheLatestSubscriberFirstAndNobodyWithoutSubscribers) {
  clsEvent event(app);
  event.Broadcast(data);
  EXPECT_TRUE(app.departures.empty());

  std::vector<std::shared_ptr<clsClient>> s;
  for (int i = 0; i < 3; ++i) s.push_back(NewSession());
  for (auto& session : s) event.AddClient(*session);
  event.Broadcast(data);
  EXPECT_EQ(app.departures, (std::vector<int32_t>{s[2]->ID(), s[1]->ID(), s[0]->ID()}));
  EXPECT_TRUE(alerts.shown.empty());
}

TEST_F(clsEventTest, FrameWithoutMarkerIsAlertedOnceAndStillSentToAll) {
  clsEvent event(app);
  auto a = NewSession();
  auto b = NewSession();
  event.AddClient(*a);
  event.AddClient(*b);
  data[0] = 41;
  event.Broadcast(data);
  ASSERT_EQ(alerts.shown.size(), 1u);
  EXPECT_EQ(alerts.shown[0].first, "KAKAAAAAAAAAA");
  EXPECT_EQ(alerts.shown[0].second, "Toruna");
  EXPECT_EQ(app.departures.size(), 2u);
}

TEST_F(clsEventTest, SubscribersLeavingDuringBroadcastAreSkippedAndTheRestServedOnce) {
  clsEvent event(app);
  std::vector<std::shared_ptr<clsClient>> s;
  for (int i = 0; i < 8; ++i) s.push_back(NewSession());
  for (auto& session : s) event.AddClient(*session);
  // The first send (to the latest, s[7]) makes it and three earlier subscribers
  // leave the list at once, as nested departures would.
  bool first = true;
  app.onDisconnect = [&](int32_t id) {
    event.RemoveClient(id);
    if (first) {
      first = false;
      for (int i : {0, 3, 6}) event.RemoveClient(s[i]->ID());
    }
  };
  event.Broadcast(data);
  EXPECT_EQ(app.departures,
            (std::vector<int32_t>{s[7]->ID(), s[5]->ID(), s[4]->ID(), s[2]->ID(), s[1]->ID()}));
  EXPECT_EQ(event.ClientCount(), 0);
}

TEST_F(clsEventTest, ReleasedSubscriberIsSkipped) {
  clsEvent event(app);
  auto kept = NewSession();
  event.AddClient(*kept);
  {
    auto gone = std::make_shared<clsClient>(app, dispatcher);
    event.AddClient(*gone);
  }
  event.Broadcast(data);
  EXPECT_EQ(app.departures, (std::vector<int32_t>{kept->ID()}));
}

}  // namespace
}  // namespace toruna::session
