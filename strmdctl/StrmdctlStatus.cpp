// `strmdctl status`: the running strmd's status report, as text (once or
// redrawn like watch), as JSON for scripts, or as Prometheus metrics.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "server/ThreadDebug.h"
#include "strmdctl/Strmdctl.h"

namespace {

struct Stream {
  std::string id, direction, name;
  long long bitsIn = 0, bitsOut = 0, queued = 0, lastQueued = 0, dropped = 0, subscribers = 0;
  bool paused = false, active = false;
};

struct Connection {
  std::string address, flashVer, site, user;
  long long userId = 0;
  std::vector<Stream> streams;
};

struct Room {
  std::string kind, site, name;
  std::vector<std::string> members;
};

struct SendLoop {
  long long connections = 0;
  double cpu = 0;
};

struct Status {
  std::vector<Connection> connections;
  std::vector<SendLoop> loops;  // in the server's order
  std::vector<Room> rooms;
  long long bitsIn = 0, bitsOut = 0;
  long long beforeConnect = 0;  // accepted, no connect yet (the handshake included)
  double cpu = 0;
  // Admission: 0 takes new work, 1 refuses new plays of recorded media, 2
  // everything new; the refusals since the server started.
  long long admitLevel = 0, refusedPlays = 0, refusedPublishes = 0, refusedConnects = 0;
  double admitCpu = 0;
};

std::string Unescape(std::string_view field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\' || i + 1 == field.size()) {
      out += field[i];
      continue;
    }
    char c = field[++i];
    out += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
  }
  return out;
}

long long Number(const std::vector<std::string>& f, size_t i) {
  return i < f.size() ? strtoll(f[i].c_str(), nullptr, 10) : 0;
}

std::string Text(const std::vector<std::string>& f, size_t i) { return i < f.size() ? f[i] : ""; }

// Records the server wrote; unknown kinds and stray members are skipped, so
// an older strmdctl reads a newer server's report.
Status ParseRecords(std::string_view data) {
  Status status;
  size_t pos = 0;
  while (pos < data.size()) {
    size_t end = data.find('\n', pos);
    if (end == std::string_view::npos) end = data.size();
    std::string_view line = data.substr(pos, end - pos);
    pos = end + 1;
    std::vector<std::string> f;
    size_t start = 0;
    for (;;) {
      size_t tab = line.find('\t', start);
      f.push_back(Unescape(line.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start)));
      if (tab == std::string_view::npos) break;
      start = tab + 1;
    }
    const std::string& kind = f[0];
    if (kind == "connection") {
      status.connections.push_back({Text(f, 1), Text(f, 2), Text(f, 3), Text(f, 4), Number(f, 5), {}});
    } else if (kind == "stream" && !status.connections.empty()) {
      Stream s;
      s.id = Text(f, 1);
      s.direction = Text(f, 2);
      s.bitsIn = Number(f, 3);
      s.bitsOut = Number(f, 4);
      s.paused = Number(f, 5) != 0;
      s.queued = Number(f, 6);
      s.lastQueued = Number(f, 7);
      s.dropped = Number(f, 8);
      s.subscribers = Number(f, 9);
      s.name = Text(f, 10);
      s.active = Number(f, 11) != 0;
      status.connections.back().streams.push_back(std::move(s));
    } else if (kind == "room") {
      status.rooms.push_back({Text(f, 1), Text(f, 2), Text(f, 3), {}});
    } else if (kind == "member" && !status.rooms.empty()) {
      status.rooms.back().members.push_back(Text(f, 1));
    } else if (kind == "handshaking") {
      status.beforeConnect = Number(f, 1);
    } else if (kind == "total") {
      status.bitsIn = Number(f, 1);
      status.bitsOut = Number(f, 2);
      status.cpu = strtod(Text(f, 3).c_str(), nullptr);
    } else if (kind == "loop") {
      status.loops.push_back({Number(f, 2), strtod(Text(f, 3).c_str(), nullptr)});
    } else if (kind == "admission") {
      status.admitLevel = Number(f, 1);
      status.admitCpu = strtod(Text(f, 2).c_str(), nullptr);
      status.refusedPlays = Number(f, 3);
      status.refusedPublishes = Number(f, 4);
      status.refusedConnects = Number(f, 5);
    }
  }
  return status;
}

// A JSON string; bytes that are not UTF-8 become U+FFFD, so the output
// always parses.
std::string Json(std::string_view s) {
  std::string out = "\"";
  for (size_t i = 0; i < s.size();) {
    auto c = static_cast<unsigned char>(s[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++i;
    } else if (c < 0x20) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
      ++i;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
    } else {
      size_t n = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
      bool ok = n != 0 && i + n <= s.size();
      for (size_t k = 1; ok && k < n; ++k) ok = (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80;
      if (ok) {
        out.append(s.substr(i, n));
        i += n;
      } else {
        out += "\\ufffd";
        ++i;
      }
    }
  }
  return out + "\"";
}

const char* Bool(bool b) { return b ? "true" : "false"; }

void PrintJson(const DebugSnapshot& snapshot, const Status& status) {
  std::string o = "{\"pid\":" + std::to_string(snapshot.pid);
  char cpu[32];
  snprintf(cpu, sizeof cpu, "%.2f", status.cpu);
  o += ",\"cpuPercent\":" + std::string(cpu);
  o += ",\"bitsPerSecondIn\":" + std::to_string(status.bitsIn);
  o += ",\"bitsPerSecondOut\":" + std::to_string(status.bitsOut);
  o += ",\"truncated\":" + std::string(Bool(snapshot.truncated));
  o += ",\"connectionsBeforeConnect\":" + std::to_string(status.beforeConnect);
  static const char* const kRefusing[] = {"\"none\"", "\"plays\"", "\"all\""};
  snprintf(cpu, sizeof cpu, "%.2f", status.admitCpu);
  o += ",\"admission\":{\"refusing\":" +
       std::string(status.admitLevel >= 0 && status.admitLevel <= 2 ? kRefusing[status.admitLevel] : "null") +
       ",\"cpuPercent\":" + cpu + ",\"refusedPlays\":" + std::to_string(status.refusedPlays) +
       ",\"refusedPublishes\":" + std::to_string(status.refusedPublishes) +
       ",\"refusedConnects\":" + std::to_string(status.refusedConnects) + "}";
  o += ",\"sendLoops\":[";
  for (size_t i = 0; i < status.loops.size(); ++i) {
    snprintf(cpu, sizeof cpu, "%.2f", status.loops[i].cpu);
    o += std::string(i ? "," : "") + "{\"connections\":" + std::to_string(status.loops[i].connections) +
         ",\"cpuPercent\":" + cpu + "}";
  }
  o += "]";
  o += ",\"connections\":[";
  for (size_t i = 0; i < status.connections.size(); ++i) {
    const Connection& c = status.connections[i];
    if (i) o += ',';
    o += "{\"address\":" + Json(c.address) + ",\"clientVersion\":" + Json(c.flashVer) + ",\"site\":" + Json(c.site) +
         ",\"user\":" + (c.user.empty() ? std::string("null") : Json(c.user)) +
         ",\"userId\":" + std::to_string(c.userId) + ",\"streams\":[";
    for (size_t k = 0; k < c.streams.size(); ++k) {
      const Stream& s = c.streams[k];
      if (k) o += ',';
      o += "{\"id\":" + Json(s.id) + ",\"direction\":" + Json(s.direction) +
           ",\"bitsPerSecondIn\":" + std::to_string(s.bitsIn) + ",\"bitsPerSecondOut\":" + std::to_string(s.bitsOut) +
           ",\"paused\":" + Bool(s.paused) + ",\"queued\":" + std::to_string(s.queued) +
           ",\"lastQueued\":" + std::to_string(s.lastQueued) + ",\"dropped\":" + std::to_string(s.dropped) +
           ",\"subscribers\":" + std::to_string(s.subscribers) + ",\"name\":" + Json(s.name) +
           ",\"active\":" + Bool(s.active) + "}";
    }
    o += "]}";
  }
  o += "],\"rooms\":[";
  for (size_t i = 0; i < status.rooms.size(); ++i) {
    const Room& r = status.rooms[i];
    if (i) o += ',';
    o += "{\"kind\":" + Json(r.kind) + ",\"site\":" + Json(r.site) + ",\"name\":" + Json(r.name) + ",\"members\":[";
    for (size_t k = 0; k < r.members.size(); ++k) o += (k ? "," : "") + Json(r.members[k]);
    o += "]}";
  }
  o += "]}\n";
  fputs(o.c_str(), stdout);
}

std::string Label(std::string_view s) {
  std::string out;
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

// Totals per site, in the Prometheus text format (for node_exporter's
// textfile collector or a scrape wrapper).
void PrintPrometheus(const Status& status) {
  struct Site {
    long long connections = 0, streamsIn = 0, streamsOut = 0, bitsIn = 0, bitsOut = 0, queued = 0, dropped = 0,
              rooms = 0, members = 0;
  };
  std::map<std::string, Site> sites;
  for (const Connection& c : status.connections) {
    Site& s = sites[c.site];
    ++s.connections;
    for (const Stream& st : c.streams) {
      if (st.direction == "in") ++s.streamsIn;
      if (st.direction == "out") ++s.streamsOut;
      s.bitsIn += st.bitsIn;
      s.bitsOut += st.bitsOut;
      s.queued += st.queued;
      s.dropped += st.dropped;
    }
  }
  for (const Room& r : status.rooms) {
    Site& s = sites[r.site];
    ++s.rooms;
    s.members += static_cast<long long>(r.members.size());
  }
  std::string o;
  auto metric = [&](const char* name, const char* type, const char* help, auto value, const char* direction) {
    o += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    for (const auto& [site, s] : sites) {
      o += std::string(name) + "{site=\"" + Label(site) + "\"";
      if (direction) o += std::string(",direction=\"") + direction + "\"";
      o += "} " + std::to_string(value(s)) + "\n";
    }
  };
  metric("strmd_connections", "gauge", "RTMP connections.", [](const Site& s) { return s.connections; }, nullptr);
  o += "# HELP strmd_streams Streams by direction (in: publishing, out: playing).\n# TYPE strmd_streams gauge\n";
  for (const auto& [site, s] : sites) {
    o += "strmd_streams{site=\"" + Label(site) + "\",direction=\"in\"} " + std::to_string(s.streamsIn) + "\n";
    o += "strmd_streams{site=\"" + Label(site) + "\",direction=\"out\"} " + std::to_string(s.streamsOut) + "\n";
  }
  o += "# HELP strmd_bits_per_second Media bits per second over the last report.\n"
       "# TYPE strmd_bits_per_second gauge\n";
  for (const auto& [site, s] : sites) {
    o += "strmd_bits_per_second{site=\"" + Label(site) + "\",direction=\"in\"} " + std::to_string(s.bitsIn) + "\n";
    o += "strmd_bits_per_second{site=\"" + Label(site) + "\",direction=\"out\"} " + std::to_string(s.bitsOut) + "\n";
  }
  metric("strmd_queued_messages", "gauge", "Messages waiting in players' queues.",
         [](const Site& s) { return s.queued; }, nullptr);
  metric("strmd_dropped_messages", "gauge", "Messages dropped for slow players since the last report.",
         [](const Site& s) { return s.dropped; }, nullptr);
  metric("strmd_rooms", "gauge", "Live rooms.", [](const Site& s) { return s.rooms; }, nullptr);
  metric("strmd_room_members", "gauge", "Present members of live rooms.", [](const Site& s) { return s.members; },
         nullptr);
  o += "# HELP strmd_connections_before_connect Accepted connections that have not sent connect.\n"
       "# TYPE strmd_connections_before_connect gauge\nstrmd_connections_before_connect " +
       std::to_string(status.beforeConnect) + "\n";
  char cpu[32];
  snprintf(cpu, sizeof cpu, "%.2f", status.cpu);
  o += "# HELP strmd_cpu_percent CPU use of the connection threads and send loops, percent of the machine.\n"
       "# TYPE strmd_cpu_percent gauge\nstrmd_cpu_percent " +
       std::string(cpu) + "\n";
  if (!status.loops.empty()) {
    o += "# HELP strmd_send_loop_cpu_percent CPU use of each send loop, percent of the machine (in "
         "strmd_cpu_percent too).\n# TYPE strmd_send_loop_cpu_percent gauge\n";
    for (size_t i = 0; i < status.loops.size(); ++i) {
      snprintf(cpu, sizeof cpu, "%.2f", status.loops[i].cpu);
      o += "strmd_send_loop_cpu_percent{loop=\"" + std::to_string(i) + "\"} " + cpu + "\n";
    }
    o += "# HELP strmd_send_loop_connections Connections each send loop sends for.\n"
         "# TYPE strmd_send_loop_connections gauge\n";
    for (size_t i = 0; i < status.loops.size(); ++i)
      o += "strmd_send_loop_connections{loop=\"" + std::to_string(i) + "\"} " +
           std::to_string(status.loops[i].connections) + "\n";
  }
  o += "# HELP strmd_admission_level 0 takes new work, 1 refuses new plays of recorded media, 2 everything new.\n"
       "# TYPE strmd_admission_level gauge\nstrmd_admission_level " +
       std::to_string(status.admitLevel) + "\n";
  o += "# HELP strmd_refused_total New work refused as the server was busy, since it started.\n"
       "# TYPE strmd_refused_total counter\n";
  o += "strmd_refused_total{kind=\"play\"} " + std::to_string(status.refusedPlays) + "\n";
  o += "strmd_refused_total{kind=\"publish\"} " + std::to_string(status.refusedPublishes) + "\n";
  o += "strmd_refused_total{kind=\"connect\"} " + std::to_string(status.refusedConnects) + "\n";
  fputs(o.c_str(), stdout);
}

int Usage() {
  fprintf(stderr, "usage: strmdctl status [--watch [SECONDS] | --json | --prometheus]\n");
  return 2;
}

// One reading printed; 0 when a report was printed, 1 otherwise.
int PrintOnce(const std::string& name, char format) {
  DebugSnapshot snapshot;
  std::string error;
  DebugRead result = DebugReadReport(name, &snapshot, &error);
  if (result != DebugRead::kOk) {
    fprintf(stderr, "strmdctl: %s\n", error.c_str());
    return 1;
  }
  if (format == 'j' || format == 'p') {
    if (!snapshot.hasData) {
      fprintf(stderr, "strmdctl: the strmd that runs publishes no machine-readable report; use plain status\n");
      return 1;
    }
    Status status = ParseRecords(snapshot.data);
    if (format == 'j')
      PrintJson(snapshot, status);
    else
      PrintPrometheus(status);
    return 0;
  }
  if (snapshot.text.empty())
    printf("no RTMP connections\n");
  else
    fputs(snapshot.text.c_str(), stdout);
  return 0;
}

}  // namespace

int StrmdctlStatus(int argc, char** argv) {
  char format = 't';
  int watchSeconds = 0;
  for (int i = 0; i < argc; ++i) {
    std::string_view a = argv[i];
    if (a == "--json" && format == 't' && watchSeconds == 0) {
      format = 'j';
    } else if (a == "--prometheus" && format == 't' && watchSeconds == 0) {
      format = 'p';
    } else if (a == "--watch" && format == 't' && watchSeconds == 0) {
      watchSeconds = 2;
      if (i + 1 < argc && argv[i + 1][0] != '-') {
        char* end = nullptr;
        long n = strtol(argv[++i], &end, 10);
        if (*end != '\0' || n < 1 || n > 86400) return Usage();
        watchSeconds = static_cast<int>(n);
      }
    } else {
      return Usage();
    }
  }
  const std::string name = DebugShmName();
  if (watchSeconds == 0) return PrintOnce(name, format);
  // Redrawn until interrupted, like watch; a server that is gone or not yet
  // started is shown as such and looked for again.
  for (;;) {
    time_t now = time(nullptr);
    char stamp[64];
    strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", localtime(&now));
    printf("\033[H\033[2JEvery %ds: strmdctl status    %s\n\n", watchSeconds, stamp);
    fflush(stdout);
    PrintOnce(name, 't');
    fflush(stdout);
    fflush(stderr);
    sleep(static_cast<unsigned>(watchSeconds));
  }
}
