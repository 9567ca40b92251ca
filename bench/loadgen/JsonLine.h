#pragma once
// One JSON object per line on stdout, fields in the order they are added.

#include <cstdio>
#include <sstream>
#include <string>

namespace loadgen {

class JsonLine {
 public:
  JsonLine(const std::string& server, const std::string& proto, const char* scenario) {
    os_.precision(12);  // counts stay exact; rates and times keep their digits
    Add("server", server);
    Add("proto", proto);
    Add("scenario", std::string(scenario));
  }
  JsonLine& Add(const char* key, const std::string& v) {
    Key(key);
    os_ << '"';
    for (char ch : v) {
      if (ch == '"' || ch == '\\') os_ << '\\';
      os_ << ch;
    }
    os_ << '"';
    return *this;
  }
  JsonLine& Add(const char* key, double v) {
    Key(key);
    os_ << v;
    return *this;
  }
  JsonLine& Add(const char* key, bool v) {
    Key(key);
    os_ << (v ? "true" : "false");
    return *this;
  }
  void Emit() {
    std::printf("{%s}\n", os_.str().c_str());
    std::fflush(stdout);
  }

 private:
  void Key(const char* key) {
    if (!first_) os_ << ',';
    first_ = false;
    os_ << '"' << key << "\":";
  }
  std::ostringstream os_;
  bool first_ = true;
};

}  // namespace loadgen
