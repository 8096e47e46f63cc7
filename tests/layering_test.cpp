// The source tree's layering: which folder may include which (tests/layering.txt),
// no circle of modules (a module is a path without its extension), and the
// connection record stays inside connection/ and the server's intake.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct LayeringViolation {
  std::string key;      // the line of the pending list
  std::string message;  // where and why
};

struct LayeringTable {
  std::vector<std::string> checked;                    // folders whose files are scanned
  std::map<std::string, std::set<std::string>> allowed;  // folder -> folders it may include
  std::set<std::string> any;                           // folders that may include anything
};

LayeringTable LayeringParseTable(const std::string& text) {
  LayeringTable table;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    std::istringstream words(line);
    std::string folder, word;
    if (!(words >> folder)) continue;
    std::set<std::string> allowed;
    bool any = false;
    while (words >> word) {
      if (word == "*") any = true;
      else if (word != "-") allowed.insert(word);
    }
    if (any) {
      table.any.insert(folder);
    } else {
      table.checked.push_back(folder);
      table.allowed[folder] = allowed;
    }
  }
  return table;
}

std::string LayeringRead(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

struct LayeringInclude {
  std::string header;
  int line;
};

struct LayeringFile {
  std::string path;  // relative to the root, with '/'
  std::vector<LayeringInclude> includes;
  std::vector<std::string> lines;
};

std::string LayeringTop(const std::string& path) {
  const size_t slash = path.find('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string LayeringStem(const std::string& path) {
  const size_t dot = path.rfind('.');
  return dot == std::string::npos ? path : path.substr(0, dot);
}

std::vector<LayeringFile> LayeringScan(const fs::path& root, const LayeringTable& table) {
  static const std::regex include(R"re(^\s*#\s*include\s*"([^"]+)")re");
  std::vector<LayeringFile> files;
  for (const std::string& folder : table.checked) {
    if (!fs::is_directory(root / folder)) continue;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root / folder)) {
      const std::string ext = entry.path().extension().string();
      if (!entry.is_regular_file() || (ext != ".h" && ext != ".cpp")) continue;
      LayeringFile file;
      file.path = fs::relative(entry.path(), root).generic_string();
      std::istringstream in(LayeringRead(entry.path()));
      std::string line;
      int number = 0;
      while (std::getline(in, line)) {
        ++number;
        std::smatch m;
        if (std::regex_search(line, m, include)) file.includes.push_back({m[1].str(), number});
        file.lines.push_back(line);
      }
      files.push_back(std::move(file));
    }
  }
  std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a.path < b.path; });
  return files;
}

void LayeringCheckIncludes(const std::vector<LayeringFile>& files, const LayeringTable& table,
                           std::vector<LayeringViolation>& out) {
  for (const LayeringFile& file : files) {
    const std::string folder = LayeringTop(file.path);
    const std::set<std::string>& allowed = table.allowed.at(folder);
    for (const LayeringInclude& inc : file.includes) {
      const std::string top = LayeringTop(inc.header);
      if (top == folder || allowed.count(top) != 0) continue;
      out.push_back({"include " + file.path + " " + inc.header,
                     file.path + ":" + std::to_string(inc.line) + ": includes " + inc.header + " (" + folder +
                         " may not include " + (top.empty() ? inc.header : top) + ")"});
    }
  }
}

// Tarjan's strongly connected components over the module graph.
void LayeringCheckCircles(const std::vector<LayeringFile>& files, std::vector<LayeringViolation>& out) {
  std::map<std::string, std::set<std::string>> edges;
  for (const LayeringFile& file : files) edges[LayeringStem(file.path)];
  for (const LayeringFile& file : files) {
    const std::string from = LayeringStem(file.path);
    for (const LayeringInclude& inc : file.includes) {
      const std::string to = LayeringStem(inc.header);
      if (to != from && inc.header.size() > 2 && inc.header.compare(inc.header.size() - 2, 2, ".h") == 0 &&
          edges.count(to) != 0)
        edges[from].insert(to);
    }
  }
  std::map<std::string, int> index, low;
  std::set<std::string> onStack;
  std::vector<std::string> stack;
  int next = 0;
  std::function<void(const std::string&)> visit = [&](const std::string& v) {
    index[v] = low[v] = next++;
    stack.push_back(v);
    onStack.insert(v);
    for (const std::string& w : edges[v]) {
      if (index.count(w) == 0) {
        visit(w);
        low[v] = std::min(low[v], low[w]);
      } else if (onStack.count(w) != 0) {
        low[v] = std::min(low[v], index[w]);
      }
    }
    if (low[v] != index[v]) return;
    std::vector<std::string> component;
    std::string w;
    do {
      w = stack.back();
      stack.pop_back();
      onStack.erase(w);
      component.push_back(w);
    } while (w != v);
    if (component.size() < 2) return;
    std::sort(component.begin(), component.end());
    const std::set<std::string> members(component.begin(), component.end());
    std::string key = "circle", list, edgeList;
    for (const std::string& m : component) {
      key += " " + m;
      list += " " + m;
      for (const std::string& to : edges[m])
        if (members.count(to) != 0) edgeList += " " + m + "->" + to;
    }
    out.push_back({key, "modules include each other in a circle:" + list + " (edges:" + edgeList + ")"});
  };
  for (const auto& [module, targets] : edges)
    if (index.count(module) == 0) visit(module);
}

// The connection record is the driver's: other folders get a narrower view.
void LayeringCheckConnectionReach(const std::vector<LayeringFile>& files, std::vector<LayeringViolation>& out) {
  static const std::regex field(R"(\bconnection\s*->\s*(db|session|user)\b)");
  for (const LayeringFile& file : files) {
    const std::string folder = LayeringTop(file.path);
    if (folder == "connection") continue;
    const bool intake = LayeringStem(file.path) == "server/Server";
    std::set<std::string> seen;
    for (size_t i = 0; i < file.lines.size(); ++i) {
      const std::string where = file.path + ":" + std::to_string(i + 1) + ": ";
      if (!intake && file.lines[i].find("RtmpConnection") != std::string::npos &&
          seen.insert("name").second)
        out.push_back({"name " + file.path + " RtmpConnection",
                       where + "names RtmpConnection (only connection/ and the intake may)"});
      std::smatch m;
      // Report texts name the fields as the reports have always named them.
      static const std::regex literal(R"re("(?:[^"\\]|\\.)*")re");
      std::string rest = std::regex_replace(file.lines[i], literal, "\"\"");
      while (std::regex_search(rest, m, field)) {
        const std::string reach = "->" + m[1].str();
        if (seen.insert(reach).second)
          out.push_back({"field " + file.path + " " + reach,
                         where + "reaches " + reach + " of a connection (only connection/ may)"});
        rest = m.suffix();
      }
    }
  }
}

std::vector<LayeringViolation> LayeringCheck(const fs::path& root, const std::string& tableText) {
  const LayeringTable table = LayeringParseTable(tableText);
  const std::vector<LayeringFile> files = LayeringScan(root, table);
  std::vector<LayeringViolation> out;
  LayeringCheckIncludes(files, table, out);
  LayeringCheckCircles(files, out);
  LayeringCheckConnectionReach(files, out);
  return out;
}

fs::path LayeringRoot() {
  const char* dir = getenv("STRMD_SOURCE_DIR");
  return dir != nullptr && *dir != '\0' ? fs::path(dir) : fs::path(STRMD_LAYERING_SOURCE_DIR);
}

std::vector<LayeringViolation> LayeringCheckTree() {
  const fs::path root = LayeringRoot();
  return LayeringCheck(root, LayeringRead(root / "tests" / "layering.txt"));
}

std::set<std::string> LayeringKeys(const std::vector<LayeringViolation>& violations) {
  std::set<std::string> keys;
  for (const LayeringViolation& v : violations) keys.insert(v.key);
  return keys;
}

TEST(Layering, TreeFollowsTheTableWithoutCircles) {
  const fs::path root = LayeringRoot();
  ASSERT_TRUE(fs::exists(root / "tests" / "layering.txt")) << root;
  for (const LayeringViolation& v : LayeringCheckTree()) ADD_FAILURE() << v.message;
}

// The checker itself: a forbidden include, a two-file circle and a reach into
// the connection record are each found, and a clean tree passes.
TEST(Layering, CheckerFindsEachKindOfViolation) {
  const std::string table = "util -\nmedia util\nconnection util media\ntests *\n";
  struct Row {
    const char* name;
    std::vector<std::pair<std::string, std::string>> files;
    std::set<std::string> expected;
  };
  const std::vector<Row> rows = {
      {"clean",
       {{"util/A.h", "#pragma once\n"},
        {"util/A.cpp", "#include \"util/A.h\"\n"},
        {"media/M.h", "#include \"util/A.h\"\n"},
        {"media/M.cpp", "#include \"media/M.h\"\n#include \"media/N.h\"\n"},
        {"media/N.h", "#include <vector>\n"},
        {"connection/RtmpConnection.cpp", "#include \"media/M.h\"\nRtmpConnection* c; connection->db = 0;\n"},
        {"tests/t.cpp", "#include \"connection/RtmpConnection.h\"\nconnection->user;\n"}},
       {}},
      {"forbidden include",
       {{"util/A.h", "#pragma once\n"}, {"util/A.cpp", "#include \"util/A.h\"\n  #include \"media/M.h\"\n"},
        {"media/M.h", "\n"}},
       {"include util/A.cpp media/M.h"}},
      {"two-file circle",
       {{"media/P.h", "#include \"media/Q.h\"\n"}, {"media/Q.h", "\n"}, {"media/Q.cpp", "#include \"media/P.h\"\n"}},
       {"circle media/P media/Q"}},
      {"connection reached from media",
       {{"media/S.cpp", "void F(RtmpConnection* c) {\n  stream->connection->session = nullptr;\n}\n"}},
       {"name media/S.cpp RtmpConnection", "field media/S.cpp ->session"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const fs::path root = fs::temp_directory_path() / ("strmd-layering-" + std::to_string(getpid()));
    fs::remove_all(root);
    for (const auto& [path, body] : row.files) {
      fs::create_directories((root / path).parent_path());
      std::ofstream(root / path) << body;
    }
    const std::vector<LayeringViolation> found = LayeringCheck(root, table);
    fs::remove_all(root);
    EXPECT_EQ(LayeringKeys(found), row.expected);
    EXPECT_EQ(found.size(), row.expected.size());
  }
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
