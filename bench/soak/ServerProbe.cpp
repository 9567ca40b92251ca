#include "ServerProbe.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace soak {

long ServerProbe::Descriptors() const {
  const std::string path = "/proc/" + std::to_string(pid_) + "/fd";
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return -1;
  long count = 0;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count;
}

long ServerProbe::RssKb() const {
  std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

std::optional<long> ServerProbe::RegisteredCount(int timeoutMs) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::nullopt;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof local;
  std::optional<long> count;
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) == 0) {
    const std::string request = "?" + std::to_string(ntohs(local.sin_port)) + "!";
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(9666);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&server), sizeof server);
    pollfd p{fd, POLLIN, 0};
    char reply[2048];
    if (poll(&p, 1, timeoutMs) == 1) {
      const ssize_t n = recv(fd, reply, sizeof reply - 1, 0);
      // "***", the name, 0, the count in decimal, 0.
      if (n > 5 && reply[0] == '*' && reply[1] == '*' && reply[2] == '*' && reply[n - 1] == '\0') {
        const std::string text(reply, static_cast<size_t>(n - 1));
        const size_t zero = text.find('\0', 3);
        if (zero != std::string::npos) count = std::strtol(text.c_str() + zero + 1, nullptr, 10);
      }
    }
  }
  close(fd);
  return count;
}

}  // namespace soak
