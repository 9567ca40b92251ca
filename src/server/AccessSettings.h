#pragma once
// Whom the server serves and where: the keys Listen (the one IPv4 address the
// TCP port is bound to; empty or 0.0.0.0 for every address) and AllowFrom
// (address ranges whose connections and discovery requests are served) in the
// [Toruna] section. AllowFrom is a list separated by commas or blanks of
// addresses, ranges "a.b.c.d/n", "local" (loopback, link-local and the private
// ranges 10/8, 172.16/12, 192.168/16 and 100.64/10) and "any". An item that
// cannot be read is left out and said in Problems(); with no item left the
// default applies, so a typing error never opens the server wider.

#include <cstdint>
#include <string>
#include <vector>

namespace toruna::server {

class clsSettings;

class AccessSettings {
 public:
  struct Range {
    uint32_t network;  // host byte order, already masked
    uint32_t mask;
  };

  // defaultAllowFrom: what AllowFrom is when unset, e.g. "any" or "local".
  static AccessSettings Read(const clsSettings& settings, const std::string& defaultAllowFrom);
  // The ranges of an AllowFrom text; each item that cannot be read adds a
  // sentence to problems.
  static std::vector<Range> ParseRanges(const std::string& text, std::vector<std::string>& problems);
  // A dotted IPv4 address in host byte order; false for anything else.
  static bool ParseAddress(const std::string& text, uint32_t& address);

  bool Allows(uint32_t address) const;
  bool Allows(const std::string& dotted) const;  // false when not an address
  bool AllowsAll() const;
  // The address to bind the TCP port to, dotted.
  const std::string& Listen() const { return listen_; }
  const std::vector<std::string>& Problems() const { return problems_; }

 private:
  std::vector<Range> ranges_{Range{0, 0}};  // until read: everybody, as before
  std::string listen_ = "0.0.0.0";
  std::vector<std::string> problems_;
};

}  // namespace toruna::server
