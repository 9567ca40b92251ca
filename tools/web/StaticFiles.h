#pragma once
// The files the page is made of, its own and the chart library's, built into
// the program at build time (EmbedAssets.cmake). They stay in memory for as
// long as the program runs, so answers point at them rather than copy them.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace toruna::web {

struct EmbeddedFile {
  const char* path;  // "/index.html"
  const unsigned char* data;
  size_t size;
};
// Generated from the page's files at build time.
const std::vector<EmbeddedFile>& EmbeddedFiles();

class StaticFiles {
 public:
  StaticFiles();

  struct File {
    const std::string* body;
    std::string type;
  };
  // "/" is /index.html; nullopt for a path that is not a file of the page.
  std::optional<File> Find(const std::string& path) const;

  static std::string TypeOf(const std::string& path);

 private:
  struct Entry {
    std::string path;
    std::string body;
  };
  std::vector<Entry> files_;
};

}  // namespace toruna::web
