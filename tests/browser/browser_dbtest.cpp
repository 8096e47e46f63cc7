// The player page in a real browser: browser_test.mjs (beside this file)
// drives headless Chromium against strmd serving the demo site, with the web
// stand-in serving web/ behind strmd's port and the demo speaker on live
// channel 5, as `make run` has them. This wrapper starts them and reports
// the script's cases.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/FlvBuilder.h"
#include "support/StrmdSite.h"
#include "support/TestEnv.h"

namespace {

// A child process with its output in a file, ended with the test.
struct Child {
  pid_t pid = -1;
  ~Child() {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    int status = 0;
    if (!WaitChild(pid, 5000, &status)) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
  bool Start(const std::vector<std::string>& args, const std::string& log, const std::vector<std::string>& env = {}) {
    pid = fork();
    if (pid != 0) return pid > 0;
    const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    dup2(fd, 2);
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  // Waits for the end; the exit code, or -1 when it did not end in time.
  int Finish(int timeoutMs) {
    int status = 0;
    if (!WaitChild(pid, timeoutMs, &status)) return -1;
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
};

std::string Text(const std::string& path) {
  const std::vector<uint8_t> bytes = ReadWholeFile(path);
  return std::string(bytes.begin(), bytes.end());
}

TEST(Browser, PlaysObjectsAndTheLiveChannelOverHttpAndWebSocketAndShowsErrors) {
  const std::string source = TestSourceDir();
  struct stat info{};
  ASSERT_EQ(stat((source + "/web/node_modules/playwright-core/package.json").c_str(), &info), 0)
      << "web/ has no npm install: run scripts/install-web.sh";

  const int webPort = FreePort();
  char dword[16];
  snprintf(dword, sizeof dword, "%08x", webPort);
  StrmdSite site;
  ASSERT_TRUE(site.Start("browser", "default", "", {},
                         std::string("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server]\n\"LocalWebPort\"=dword:") +
                             dword + "\n"));
  const std::string port = std::to_string(site.server.port);

  Child clip;
  ASSERT_TRUE(clip.Start({"sh", source + "/scripts/make-demo-media.sh", site.Files() + "/demo.flv"}, site.dir + "/clip.log"));
  ASSERT_EQ(clip.Finish(120000), 0) << Text(site.dir + "/clip.log");

  // Cleo's session, as make run gives it.
  Child web;
  ASSERT_TRUE(web.Start({"python3", source + "/scripts/web-standin.py", std::to_string(webPort), source + "/web",
                         "demo-cleo-0003"},
                        site.dir + "/web.log"));
  ASSERT_TRUE(TestWaitUntil([&] {
    const int fd = ConnectTo(webPort, 1000);
    if (fd >= 0) close(fd);
    return fd >= 0;
  })) << Text(site.dir + "/web.log");

  Child speaker;
  ASSERT_TRUE(speaker.Start({STRMD_DEMO_SPEAKER, "--port", port, "--flv", site.Files() + "/demo.flv", "--session",
                             "demo-ben-0002", "--chat", "1", "--channel", "5"},
                            site.dir + "/speaker.log"));

  Child browser;
  ASSERT_TRUE(browser.Start({"node", source + "/tests/browser/browser_test.mjs"}, site.dir + "/browser.log",
                            {"STRMD_PAGE_URL=http://127.0.0.1:" + port + "/", "STRMD_WEB_DIR=" + source + "/web",
                             std::string("STRMD_ARTIFACTS_DIR=") + STRMD_BROWSER_ARTIFACTS}));
  const int status = browser.Finish(280000);
  const std::string report = Text(site.dir + "/browser.log");
  if (status == 0) std::printf("%s", report.c_str());
  EXPECT_EQ(status, 0) << report << "\nstrmd's errors:\n" << site.server.ErrorLog();
}

}  // namespace
