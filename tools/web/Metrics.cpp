#include "Metrics.h"

#include <dirent.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>
#include <tuple>

namespace toruna::web {

namespace {

void Family(std::string& out, const char* name, const char* type, const char* help) {
  out.append("# HELP ").append(name).append(" ").append(help).append("\n");
  out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void Line(std::string& out, const char* name, const std::string& labels, const std::string& value) {
  out.append(name);
  if (!labels.empty()) out.append("{").append(labels).append("}");
  out.append(" ").append(value).append("\n");
}

std::string ServerLabels(const ServerWatch& s) {
  return "server=\"" + Metrics::Label(s.Name()) + "\",host=\"" + Metrics::Label(s.Host()) + "\"";
}

// Written by hand rather than by a stream, whose decimal point follows the locale.
std::string Seconds(int64_t millis) {
  std::string fraction = std::to_string(millis % 1000);
  return std::to_string(millis / 1000) + "." + std::string(3 - fraction.size(), '0') + fraction;
}

// The process's own figures, from /proc.
struct Process {
  long residentBytes = -1;
  long openFds = -1;
  double cpuSeconds = -1;
  double startSeconds = -1;
};

Process ReadProcess() {
  Process p;
  const long page = sysconf(_SC_PAGESIZE);
  const long tick = sysconf(_SC_CLK_TCK);
  long size = 0;
  long resident = 0;
  if (std::ifstream statm("/proc/self/statm"); statm >> size >> resident) p.residentBytes = resident * page;
  if (DIR* d = opendir("/proc/self/fd")) {
    long n = 0;
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
    p.openFds = n - 1;  // the directory's own descriptor
  }
  std::ifstream statFile("/proc/self/stat");
  std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
  // Fields after the command name, which may hold blanks, end with ')'.
  if (size_t close = stat.rfind(')'); close != std::string::npos && tick > 0) {
    std::istringstream fields(stat.substr(close + 2));
    std::string f;
    unsigned long long utime = 0, stime = 0, start = 0;
    for (int i = 3; fields >> f; ++i) {
      if (i == 14) utime = std::stoull(f);
      if (i == 15) stime = std::stoull(f);
      if (i == 22) {
        start = std::stoull(f);
        break;
      }
    }
    p.cpuSeconds = static_cast<double>(utime + stime) / static_cast<double>(tick);
    std::ifstream procStat("/proc/stat");
    std::string key;
    long long bootTime = -1;
    while (procStat >> key) {
      if (key == "btime") {
        procStat >> bootTime;
        break;
      }
    }
    if (bootTime >= 0) p.startSeconds = static_cast<double>(bootTime) + static_cast<double>(start) / static_cast<double>(tick);
  }
  return p;
}

}  // namespace

std::string Metrics::Label(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char ch : value) {
    if (ch == '\\') {
      out += "\\\\";
    } else if (ch == '"') {
      out += "\\\"";
    } else if (ch == '\n') {
      out += "\\n";
    } else {
      out += ch;
    }
  }
  return out;
}

std::string Metrics::Render(const ServerSet& servers, const Figures& figures) {
  // One series per label set: of two events with the same names (two clients
  // of one name), the newer one speaks.
  using Key = std::tuple<std::string, std::string, std::string, std::string>;
  std::map<Key, const WatchedEvent*> exported;
  for (const auto& s : servers) {
    for (const auto& [id, e] : s->Events()) {
      if (e.exported) exported[{s->Name(), e.client, e.entry.name, e.entry.unit}] = &e;
    }
  }
  auto labels = [](const Key& k) {
    return "server=\"" + Label(std::get<0>(k)) + "\",client=\"" + Label(std::get<1>(k)) + "\",event=\"" +
           Label(std::get<2>(k)) + "\",unit=\"" + Label(std::get<3>(k)) + "\"";
  };

  std::string out;
  Family(out, "toruna_event_value", "gauge", "The last value of an exported event.");
  for (const auto& [k, e] : exported) {
    if (e->values.HasValue()) Line(out, "toruna_event_value", labels(k), std::to_string(e->values.Last().value));
  }
  Family(out, "toruna_event_value_timestamp_seconds", "gauge", "When the last value of an exported event arrived.");
  for (const auto& [k, e] : exported) {
    if (e->values.HasValue()) Line(out, "toruna_event_value_timestamp_seconds", labels(k), Seconds(e->values.Last().at));
  }
  Family(out, "toruna_event_values_total", "counter", "Values received for an exported event since it was created.");
  for (const auto& [k, e] : exported) Line(out, "toruna_event_values_total", labels(k), std::to_string(e->values.Count()));

  Family(out, "toruna_web_server_up", "gauge", "Whether the program is registered with the server.");
  for (const auto& s : servers) {
    Line(out, "toruna_web_server_up", ServerLabels(*s), s->GetState() == ServerWatch::State::Connected ? "1" : "0");
  }
  Family(out, "toruna_web_server_clients", "gauge", "Other clients registered with the server.");
  for (const auto& s : servers) Line(out, "toruna_web_server_clients", ServerLabels(*s), std::to_string(s->Clients().size()));
  Family(out, "toruna_web_server_subscriptions", "gauge", "Events of the server the program is subscribed to.");
  for (const auto& s : servers) {
    Line(out, "toruna_web_server_subscriptions", ServerLabels(*s), std::to_string(s->Subscriptions()));
  }
  Family(out, "toruna_web_server_registrations_total", "counter", "Times the program registered with the server.");
  for (const auto& s : servers) {
    Line(out, "toruna_web_server_registrations_total", ServerLabels(*s), std::to_string(s->Connections()));
  }
  Family(out, "toruna_web_values_received_total", "counter", "Values received from the server.");
  for (const auto& s : servers) {
    Line(out, "toruna_web_values_received_total", ServerLabels(*s), std::to_string(s->ValuesReceived()));
  }
  Family(out, "toruna_web_streams", "gauge", "Live streams open to browsers.");
  Line(out, "toruna_web_streams", "", std::to_string(figures.streams));
  Family(out, "toruna_web_streams_dropped_total", "counter", "Streams ended because the browser did not keep up.");
  Line(out, "toruna_web_streams_dropped_total", "", std::to_string(figures.droppedStreams));
  Family(out, "toruna_web_http_requests_total", "counter", "HTTP requests answered.");
  Line(out, "toruna_web_http_requests_total", "", std::to_string(figures.requests));

  const Process p = ReadProcess();
  if (p.residentBytes >= 0) {
    Family(out, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
    Line(out, "process_resident_memory_bytes", "", std::to_string(p.residentBytes));
  }
  if (p.openFds >= 0) {
    Family(out, "process_open_fds", "gauge", "Number of open file descriptors.");
    Line(out, "process_open_fds", "", std::to_string(p.openFds));
  }
  if (p.cpuSeconds >= 0) {
    Family(out, "process_cpu_seconds_total", "counter", "User and system CPU time spent in seconds.");
    Line(out, "process_cpu_seconds_total", "", Seconds(static_cast<int64_t>(p.cpuSeconds * 1000)));
  }
  if (p.startSeconds >= 0) {
    Family(out, "process_start_time_seconds", "gauge", "Start time of the process since the epoch in seconds.");
    Line(out, "process_start_time_seconds", "", Seconds(static_cast<int64_t>(p.startSeconds * 1000)));
  }
  return out;
}

}  // namespace toruna::web
