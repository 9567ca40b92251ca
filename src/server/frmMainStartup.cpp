// Start-up, shutdown, the icon and its menu, and the recovery of the two server
// sockets. Registry and routing are in frmMain.cpp, discovery in
// frmMainDiscovery.cpp.

#include <chrono>
#include <cstdio>
#include <optional>
#include <random>

#include "base/Cp1252.h"
#include "base/RaisedError.h"
#include "loop/EventLoop.h"
#include "net/CNetSocket.h"
#include "server/NumericText.h"
#include "server/frmMain.h"

namespace toruna::server {

namespace {

std::string TrimSpaces(const std::string& s) {
  const size_t first = s.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

}  // namespace

void frmMain::Form_Load() {
  // 1. Seed the random generator from the clock.
  random_.seed(static_cast<std::mt19937::result_type>(
      std::chrono::system_clock::now().time_since_epoch().count()));

  // 2.-4. The settings and the server's name.
  Settings = std::make_unique<clsSettings>(config_.settingsPath);
  const std::optional<std::string> fileProblem = Settings->FileProblem();
  serverName_ = TrimSpaces(Settings->RegString("Servername"));
  if (serverName_.empty() && !config_.defaultName.empty()) {
    serverName_ = config_.defaultName;
  } else if (serverName_.empty()) {
    const float r = std::uniform_real_distribution<float>(0.0f, 1.0f)(random_);
    int number = static_cast<int>(r * 1000.0f);
    if (number > 999) number = 999;  // r just below 1 must not round up to 1000
    char digits[16];
    std::snprintf(digits, sizeof digits, "%03d", number);
    serverName_ = std::string("TestServer ") + digits;
  }
  keepAlive_ = KeepAliveSettings::Read(*Settings);
  ReadLimits();
  access_ = AccessSettings::Read(*Settings, config_.defaultAllowFrom);
  if (fileProblem) settingsProblems_.insert(settingsProblems_.begin(), *fileProblem);
  settingsProblems_.insert(settingsProblems_.end(), access_.Problems().begin(),
                           access_.Problems().end());

  // 5. The ServerInfo frame of the name; its length field is signed 16-bit.
  const std::vector<uint8_t> name = base::Cp1252::FromUtf8(serverName_);
  if (name.size() + 1 > 32767) {
    throw base::RaisedError(base::kErrOverflow, "frmMain.Form_Load", base::kTextOverflow);
  }
  const uint16_t length = static_cast<uint16_t>(name.size() + 1);
  nameMessage_ = {42, static_cast<uint8_t>(length & 0xFF), static_cast<uint8_t>(length >> 8), 8};
  nameMessage_.insert(nameMessage_.end(), name.begin(), name.end());

  // 6.-8. The two server sockets and the icon.
  OpenSearchSocket();
  OpenListenSocket();
  searchDown_ = SearchSock->State() != net::StateOpen;
  listenDown_ = Listen->State() != net::StateListening;
  if (frontEnd_) frontEnd_->AddTrayIcon();

  if (loop_ && timerId_ == 0) {
    timerId_ = loop_->AddTimer(std::chrono::milliseconds(1000), [this] { tmrMain_Timer(); });
  }
}

void frmMain::OpenSearchSocket() {
  SearchSock = net::CNetSocket::Create(dispatcher_);
  SearchSock->On().OnDataArrival = [this](int32_t bytesTotal) { SearchSock_DataArrival(bytesTotal); };
  SearchSock->SetProtocol(net::ProtocolUdp);
  SearchSock->Bind(net::Variant(config_.discoveryPort),
                   net::Variant("0.0.0.0"));
}

void frmMain::Form_QueryUnload(bool& cancel, int16_t closeReason) {
  if (closeReason == 0) {
    cancel = true;
    if (frontEnd_) frontEnd_->HideWindow();
    return;
  }
  if (SearchSock) SearchSock->CloseSck();
  if (Listen) Listen->CloseSck();
}

void frmMain::Form_Unload(bool& /*cancel*/) {
  SearchSock.reset();
  Listen.reset();
  if (frontEnd_) frontEnd_->RemoveTrayIcon();
  // The window is gone: no more ticks (the sessions stay until the owner ends).
  if (loop_ && timerId_ != 0) loop_->CancelTimer(timerId_);
  timerId_ = 0;
  unloaded_ = true;
}

bool frmMain::Unload(int16_t closeReason) {
  if (unloaded_) return true;
  bool cancel = false;
  Form_QueryUnload(cancel, closeReason);
  if (cancel) return false;
  Form_Unload(cancel);
  return true;
}

void frmMain::Form_MouseMove(int16_t /*button*/, int16_t /*shift*/, float x, float /*y*/) {
  // The icon's callback puts its mouse event code in x.
  switch (NumericText::RoundToLong(x, "frmMain.Form_MouseMove")) {
    case 514:  // left button up
      if (frontEnd_) frontEnd_->ShowWindow();
      break;
    case 517:  // right button up
      if (frontEnd_) frontEnd_->PopupMenu();
      break;
    default:
      break;
  }
}

void frmMain::mnuShow_Click() {
  if (frontEnd_) frontEnd_->ShowWindow();
}

void frmMain::mnuExit_Click() { Unload(1); }

bool frmMain::Serving() const {
  return SearchSock && SearchSock->State() == net::StateOpen && Listen &&
         Listen->State() == net::StateListening;
}

void frmMain::RecoverServerSockets() {
  if (unloaded_) return;
  // A server socket in StateError delivers nothing more; without this a single
  // refused reply or failed accept would silence it for the rest of the run. One
  // that could not be opened at all (its port held by another program) is
  // tried again too. Errors here are left for the next tick to try again.
  if (SearchSock && SearchSock->State() != net::StateOpen) {
    try {
      SearchSock->CloseSck();
      if (SearchSock->State() == net::StateClosed) {
        SearchSock->Bind(net::Variant(config_.discoveryPort),
                         net::Variant("0.0.0.0"));
      } else {
        OpenSearchSocket();  // an object without a handle cannot leave StateError
      }
    } catch (const base::RaisedError&) {
    }
    const bool open = SearchSock && SearchSock->State() == net::StateOpen;
    if (open && searchDown_) AddLog("UDP port " + std::to_string(config_.discoveryPort) + " is open now: discovery is on");
    if (!open && !searchDown_) AddLog("UDP port " + std::to_string(config_.discoveryPort) + " could not be opened again; trying every second");
    searchDown_ = !open;
  }
  if (Listen && Listen->State() != net::StateListening) {
    try {
      Listen->CloseSck();
      if (Listen->State() == net::StateClosed) {
        ListenOn(*Listen);
      } else {
        OpenListenSocket();
      }
    } catch (const base::RaisedError&) {
    }
    const bool open = Listen && Listen->State() == net::StateListening;
    if (open && listenDown_) AddLog("TCP port " + std::to_string(config_.listenPort) + " is open now: clients can connect");
    if (!open && !listenDown_) AddLog("TCP port " + std::to_string(config_.listenPort) + " could not be opened again; trying every second");
    listenDown_ = !open;
  }
}

}  // namespace toruna::server
