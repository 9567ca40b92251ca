#include "DiscoverCommand.h"

#include <gtest/gtest.h>

#include <sstream>

namespace toruna::cli {
namespace {

client::FoundServer Server(const std::string& address, const std::string& name, int64_t clients) {
  client::FoundServer s;
  s.address = address;
  s.name = name;
  s.clients = clients;
  return s;
}

TEST(DiscoverCommandTest, PrintsOneLinePerServerAsTextOrJson) {
  std::ostringstream out, err;
  Output o(out, err, false);
  DiscoverCommand cmd(o);
  cmd.Print(Server("127.0.0.1", "TestServer 042", 1));
  cmd.Print(Server("10.99.0.1", "Lab\n3", 2));
  EXPECT_EQ(out.str(),
            "127.0.0.1\tTestServer 042\t1 client\n"
            "10.99.0.1\tLab?3\t2 clients\n");

  std::ostringstream jout;
  Output j(jout, err, true);
  DiscoverCommand jc(j);
  jc.Print(Server("127.0.0.1", "Lab", 3));
  EXPECT_EQ(jout.str(), "{\"type\":\"server\",\"address\":\"127.0.0.1\",\"name\":\"Lab\",\"clients\":3}\n");
}

}  // namespace
}  // namespace toruna::cli
