#include "app/qt/TrayFrontEnd.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QSessionManager>
#include <QTimer>
#include <stdlib.h>
#include <vector>

#include "base/RaisedError.h"
#include "net/CNetSocket.h"
#include "server/ServerHarness.h"

namespace toruna::app {
namespace {

using server::testing::ServerHarness;
using server::testing::TempSettings;
using server::testing::UdpPeer;

class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    app_ = new QApplication(argc_, argv_);
    QApplication::setQuitOnLastWindowClosed(false);
  }
  void TearDown() override { delete app_; }

 private:
  int argc_ = 1;
  char name_[16] = "tray_tests";
  char* argv_[2] = {name_, nullptr};
  QApplication* app_ = nullptr;
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

// Runs Qt's loop until f() is true (checked every few milliseconds) or five seconds pass.
int RunUntil(const std::function<bool()>& f) {
  QTimer poll, limit;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (f()) QCoreApplication::exit(0);
  });
  QObject::connect(&limit, &QTimer::timeout, [] { QCoreApplication::exit(99); });
  poll.start(5);
  limit.start(5000);
  return QApplication::exec();
}

class TrayFrontEndTest : public ::testing::Test {
 protected:
  explicit TrayFrontEndTest(bool tray = true)
      : settings_("[Toruna]\nServername=Lab\n"), server_(settings_.path()), frontEnd_(tray) {
    // The harness's recording front end is replaced by the tray front end.
    server::ServerConfig config = server_.form->Config();
    server_.form = std::make_unique<server::frmMain>(server_.dispatcher, &server_.loop,
                                                     &frontEnd_, config);
    frontEnd_.Attach(server_.form.get());
    frontEnd_.SetFatalBox(false);
    server_.form->Form_Load();
    frontEnd_.ShowWindow();
  }
  ~TrayFrontEndTest() override {
    frontEnd_.Attach(nullptr);
    server_.form.reset();
  }

  TempSettings settings_;
  ServerHarness server_;
  TrayFrontEnd frontEnd_;
};

TEST_F(TrayFrontEndTest, WindowAndIconCarryTheCaption) {
  EXPECT_EQ(frontEnd_.Window().windowTitle(), "Form1");
  EXPECT_EQ(frontEnd_.Icon().toolTip(), "Form1");
  // The application icon, built in with the sizes the icon theme gets.
  const QList<QSize> sizes = frontEnd_.Icon().icon().availableSizes();
  EXPECT_TRUE(sizes.contains(QSize(16, 16)) && sizes.contains(QSize(256, 256))) << sizes.size();
  EXPECT_TRUE(frontEnd_.Window().isVisible());
  ASSERT_EQ(frontEnd_.Menu().actions().size(), 2);
  EXPECT_EQ(frontEnd_.Menu().actions()[0]->text(), "Show");
  EXPECT_EQ(frontEnd_.Menu().actions()[1]->text(), "Exit");
}

TEST_F(TrayFrontEndTest, LogKeepsTheLastHundredLinesWithTheLastSelected) {
  for (int i = 1; i <= 101; ++i) server_.form->AddLog("line " + std::to_string(i));
  QListWidget& list = frontEnd_.Window().List1();
  ASSERT_EQ(list.count(), 100);
  EXPECT_EQ(list.item(0)->text(), "line 2");
  EXPECT_EQ(list.item(99)->text(), "line 101");
  EXPECT_EQ(list.currentRow(), 99);
  EXPECT_TRUE(list.item(99)->isSelected());
  EXPECT_EQ(list.selectedItems().size(), 1);
}

TEST_F(TrayFrontEndTest, AHostileNameIsOneItemWithItsControlBytesShownEscaped) {
  server_.form->AddLog("Eve\nconnection received\rMallory registered.\nLost protocol sync\x1b[2J"
                       " registered.");
  QListWidget& list = frontEnd_.Window().List1();
  ASSERT_EQ(list.count(), 1);
  EXPECT_EQ(list.item(0)->text().toStdString(),
            "Eve\\x0Aconnection received\\x0DMallory registered.\\x0ALost protocol sync\\x1B[2J"
            " registered.");
}

TEST_F(TrayFrontEndTest, ClosingHidesAndTheIconOrShowBringsTheWindowBack) {
  EXPECT_FALSE(frontEnd_.Window().close());
  EXPECT_FALSE(frontEnd_.Window().isVisible());
  EXPECT_FALSE(server_.form->Unloaded());
  EXPECT_EQ(server_.form->Listen->State(), net::StateListening);

  frontEnd_.IconActivated(QSystemTrayIcon::Trigger);  // left click
  EXPECT_TRUE(frontEnd_.Window().isVisible());

  frontEnd_.Window().close();
  frontEnd_.Menu().actions()[0]->trigger();  // "Show"
  EXPECT_TRUE(frontEnd_.Window().isVisible());

  frontEnd_.IconActivated(QSystemTrayIcon::Context);  // right click
  EXPECT_TRUE(frontEnd_.Menu().isVisible());
  frontEnd_.Menu().hide();
}

TEST_F(TrayFrontEndTest, ExitEndsTheServerAndTheLoop) {
  const std::shared_ptr<net::CNetSocket> listen = server_.form->Listen;
  QTimer::singleShot(0, [&] { frontEnd_.Menu().actions()[1]->trigger(); });
  EXPECT_EQ(QApplication::exec(), 0);
  EXPECT_TRUE(server_.form->Unloaded());
  EXPECT_EQ(listen->State(), net::StateClosed);
  EXPECT_FALSE(frontEnd_.Window().isVisible());
  EXPECT_FALSE(frontEnd_.Icon().isVisible());
}

// The session manager's messages as Qt delivers them: a save of the session (or a
// logout that may still be cancelled) as commitDataRequest and saveStateRequest, the
// real end of the session ("die") as a Quit event to the application.
TEST_F(TrayFrontEndTest, SavingTheSessionChangesNothingItsEndClosesTheServer) {
  auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
  QSessionManager* manager = app->findChild<QSessionManager*>();
  ASSERT_NE(manager, nullptr);
  const std::shared_ptr<net::CNetSocket> search = server_.form->SearchSock;
  QTimer::singleShot(0, [&] {
    emit app->commitDataRequest(*manager);
    emit app->saveStateRequest(*manager);
    QTimer::singleShot(50, [] { QCoreApplication::exit(7); });
  });
  EXPECT_EQ(QApplication::exec(), 7);
  EXPECT_FALSE(server_.form->Unloaded());
  EXPECT_EQ(server_.form->Listen->State(), net::StateListening);
  EXPECT_TRUE(frontEnd_.Window().isVisible());
  // Started by its autostart entry or service, never restarted by the session manager.
  EXPECT_EQ(manager->restartHint(), QSessionManager::RestartNever);

  QTimer::singleShot(0, [] {
    QEvent quit(QEvent::Quit);
    QCoreApplication::sendEvent(QCoreApplication::instance(), &quit);
  });
  QTimer limit;  // a Quit that Qt gives up would leave the loop running
  QObject::connect(&limit, &QTimer::timeout, [] { QCoreApplication::exit(99); });
  limit.start(2000);
  EXPECT_EQ(QApplication::exec(), 0);
  EXPECT_TRUE(server_.form->Unloaded());
  EXPECT_EQ(search->State(), net::StateClosed);
  EXPECT_FALSE(frontEnd_.Icon().isVisible());
}

TEST_F(TrayFrontEndTest, AnUntrappedErrorEndsWithStatusOne) {
  QTimer::singleShot(0, [&] {
    frontEnd_.Guard([] { throw base::RaisedError(6, "frmMain.NewID", "Overflow"); });
  });
  EXPECT_EQ(QApplication::exec(), 1);
  EXPECT_EQ(frontEnd_.ExitStatus(), 1);
}

TEST_F(TrayFrontEndTest, QtLoopDrivesTheSocketLayer) {
  frontEnd_.DriveLoop(server_.loop);
  UdpPeer peer;
  peer.SendTo(server_.form->SearchSock->LocalPort(), "?" + std::to_string(peer.port()) + "!");
  std::optional<std::string> reply;
  EXPECT_EQ(RunUntil([&] { return (reply = peer.Receive()).has_value(); }), 0);
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(*reply, std::string("***Lab\0" "0\0", 9));
}

// Two datagrams wait at once; whichever is delivered first opens a modal box, and
// the other must be delivered while the box is still open.
TEST_F(TrayFrontEndTest, AModalBoxDeliversWhatIsAlreadyQueued) {
  frontEnd_.DriveLoop(server_.loop);
  std::vector<std::shared_ptr<net::CNetSocket>> sockets;
  bool boxOpen = false, boxClosed = false;
  int deliveredWhileOpen = 0;
  for (int i = 0; i < 2; ++i) {
    std::shared_ptr<net::CNetSocket> s = net::CNetSocket::Create(server_.dispatcher);
    s->SetProtocol(net::ProtocolUdp);
    s->On().OnDataArrival = [&, s = s.get()](int32_t) {
      net::Variant data;
      s->GetData(data);
      if (boxOpen) {
        ++deliveredWhileOpen;
        return;
      }
      boxOpen = true;
      frontEnd_.Alert("Invalid operation at current state", "clsClient.Send");
      boxOpen = false;
      boxClosed = true;
    };
    s->Bind(net::Variant(static_cast<int16_t>(0)), net::Variant("127.0.0.1"));
    sockets.push_back(s);
  }
  UdpPeer peer;
  for (const auto& s : sockets) peer.SendTo(s->LocalPort(), "x");
  // The box is closed as soon as the other datagram came (else RunUntil gives up).
  EXPECT_EQ(RunUntil([&] {
              QWidget* box = QApplication::activeModalWidget();
              if (box && deliveredWhileOpen > 0) box->close();
              return boxClosed;
            }),
            0);
  EXPECT_EQ(deliveredWhileOpen, 1);
}

class TrayWithoutNotificationAreaTest : public TrayFrontEndTest {
 protected:
  TrayWithoutNotificationAreaTest() : TrayFrontEndTest(false) {}
};

TEST_F(TrayWithoutNotificationAreaTest, ClosingMinimisesInsteadOfHiding) {
  EXPECT_FALSE(frontEnd_.TrayAvailable());
  EXPECT_FALSE(frontEnd_.Icon().isVisible());
  EXPECT_FALSE(frontEnd_.Window().close());
  EXPECT_TRUE(frontEnd_.Window().isVisible());
  EXPECT_TRUE(frontEnd_.Window().isMinimized());
  EXPECT_FALSE(server_.form->Unloaded());
}

}  // namespace
}  // namespace toruna::app
