#include "StaticFiles.h"

namespace toruna::web {

StaticFiles::StaticFiles() {
  for (const EmbeddedFile& f : EmbeddedFiles()) {
    files_.push_back({f.path, std::string(reinterpret_cast<const char*>(f.data), f.size)});
  }
}

std::string StaticFiles::TypeOf(const std::string& path) {
  auto ends = [&](const char* suffix) { return path.ends_with(suffix); };
  if (ends(".html")) return "text/html; charset=utf-8";
  if (ends(".js")) return "text/javascript; charset=utf-8";
  if (ends(".css")) return "text/css; charset=utf-8";
  if (ends(".svg")) return "image/svg+xml";
  return "application/octet-stream";
}

std::optional<StaticFiles::File> StaticFiles::Find(const std::string& path) const {
  const std::string wanted = path == "/" ? "/index.html" : path;
  for (const Entry& e : files_) {
    if (e.path == wanted) return File{&e.body, TypeOf(wanted)};
  }
  return std::nullopt;
}

}  // namespace toruna::web
