#include "session/clsClient.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "SessionTestSupport.h"
#include "base/RaisedError.h"
#include "net/CNetSocket.h"
#include "net/modNetSocket.h"
#include "protocol/Frame.h"

namespace toruna::session {
namespace {

// What a session does without a connection; the connected behaviour is tested
// end to end in the server's relay tests.
class clsClientTest : public testing::UnconnectedSessions {
 protected:
  std::shared_ptr<clsClient> session = NewSession();
};

TEST_F(clsClientTest, EverySendToAConnectionThatIsGoneReportsTheDepartureAgain) {
  EXPECT_EQ(session->ID(), 1);
  EXPECT_FALSE(session->Registered());
  EXPECT_EQ(session->name(), "");
  auto frame = protocol::frames::ClientGone(4);
  session->Send(frame);
  session->Send(frame);
  EXPECT_EQ(app.departures, (std::vector<int32_t>{1, 1}));
  EXPECT_EQ(session->Sock->State(), net::StateClosed);
  EXPECT_TRUE(alerts.shown.empty());
}

TEST_F(clsClientTest, RequestsForEventsItDoesNotOwnAreAlertedAndChangeNothing) {
  auto other = std::make_shared<clsClient>(app, dispatcher);
  EXPECT_FALSE(session->HasEvent(5));
  EXPECT_FALSE(session->HasEvent(session->ID()));
  auto request = protocol::frames::EventSubscribe(5, 1);
  session->AddClientToEvent(*other, 5, request);
  session->RemoveClientFromEvent(other->ID(), 5, false, request);
  session->RemoveClientFromEvent(other->ID(), 5, true, {});
  ASSERT_EQ(alerts.shown.size(), 3u);
  EXPECT_EQ(alerts.shown[0].first, "Client konnte nicht zur Event liste hinzugefühgt werden");
  EXPECT_EQ(alerts.shown[1].first, "Client konnte nicht von Event liste entfernt werden");
  EXPECT_EQ(alerts.shown[2].first, "Client konnte nicht von Event liste entfernt werden");
  for (const auto& shown : alerts.shown) EXPECT_EQ(shown.second, "Toruna");
  EXPECT_TRUE(app.departures.empty());
  EXPECT_EQ(session->EventCount(), 0);
}

TEST_F(clsClientTest, SubscriptionNoticesGoToTheOwnerOnlyAtTheEdges) {
  // The owner is unconnected, so each notice it would send shows as its departure.
  auto event = std::make_shared<clsEvent>(app);
  session->Events.Add(event->ID(), event);
  auto a = std::make_shared<clsClient>(app, dispatcher);
  auto b = std::make_shared<clsClient>(app, dispatcher);
  auto request = protocol::frames::EventSubscribe(event->ID(), 1);
  EXPECT_TRUE(session->HasEvent(event->ID()));

  session->AddClientToEvent(*a, event->ID(), request);  // first subscriber: told
  EXPECT_EQ(app.departures.size(), 1u);
  session->AddClientToEvent(*b, event->ID(), request);  // second: not told
  EXPECT_EQ(app.departures.size(), 1u);
  session->RemoveClientFromEvent(a->ID(), event->ID(), false, request);  // one left: not told
  EXPECT_EQ(app.departures.size(), 1u);
  session->RemoveClientFromEvent(b->ID(), event->ID(), true, {});  // none left: told
  EXPECT_EQ(app.departures.size(), 2u);
  session->RemoveClientFromEvent(a->ID(), event->ID(), false, request);  // still none: told
  EXPECT_EQ(app.departures.size(), 3u);
  for (int32_t id : app.departures) EXPECT_EQ(id, session->ID());
  EXPECT_TRUE(alerts.shown.empty());
}

TEST_F(clsClientTest, EventPositionOutsideTheEventsRaisesNine) {
  auto event = std::make_shared<clsEvent>(app);
  session->Events.Add(event->ID(), event);
  EXPECT_EQ(&session->EventO(1), event.get());
  for (int32_t bad : {0, 2}) {
    try {
      session->EventO(bad);
      FAIL() << "no error for " << bad;
    } catch (const base::RaisedError& e) {
      EXPECT_EQ(e.Number(), 9);
    }
  }
}

}  // namespace
}  // namespace toruna::session
