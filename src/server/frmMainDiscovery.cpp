// The discovery responder: a datagram holding "?", a port and "!" is answered at
// that port of the sender with "***", the server's name, 0, the number of
// registered clients and 0.

#include <new>

#include "base/RaisedError.h"
#include "net/CNetSocket.h"
#include "server/NumericText.h"
#include "server/frmMain.h"

namespace toruna::server {

void frmMain::SearchSock_DataArrival(int32_t /*bytesTotal*/) {
  // Keeps the socket alive even if a handler further down drops the member.
  const std::shared_ptr<net::CNetSocket> sock = SearchSock;
  if (!sock) return;
  try {
    net::Variant data{std::string()};
    sock->GetData(data);
    // Not answered at all: a reply could be aimed at a victim by a forged sender.
    if (Refuse(sock->RemoteHostIP(), "discovery request", discoveryRefusals_)) return;
    // "?" and "!" are single bytes in the UTF-8 text and never part of a longer
    // character, so byte positions serve as well as character positions.
    const std::string& text = data.AsString();
    const size_t start = text.find('?');
    if (start == std::string::npos) return;
    const size_t end = text.find('!', start + 1);
    if (end == std::string::npos) return;

    const int32_t port = NumericText::ReadLong(text.substr(start + 1, end - start - 1),
                                               "frmMain.SearchSock_DataArrival");
    // Nobody can listen at port 0 (and the platform refuses to send there): no
    // reply, and the socket is left as it was.
    if (port == 0) return;
    // One sender flooding requests must not take the replies of the others.
    const std::string from = sock->RemoteHostIP();
    if (!discoveryLimiter_.Allow(from)) return;
    sock->SetRemoteHost(from);
    sock->SetRemotePort(port);

    std::string reply = "***" + serverName_;
    reply.push_back('\0');
    reply += std::to_string(colClients.Count());
    reply.push_back('\0');
    sock->SendData(net::Variant(std::move(reply)));
  } catch (const base::RaisedError&) {
    // A port out of range, an overflow or an unusable destination: this request
    // goes unanswered and the server goes on. (A refused send is no error here:
    // it fires the socket's Error event, which this window does not handle, and
    // leaves the socket open for the requests behind it.)
  } catch (const std::bad_alloc&) {
  }
}

}  // namespace toruna::server
