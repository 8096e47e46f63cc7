// `make install` into a DESTDIR: the programs, the systemd unit with its
// hardening, the system user and the registry files land where the service
// expects them, and systemd accepts the unit.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "support/TestEnv.h"

namespace {

std::string Read(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

int Shell(const std::string& command, std::string* output) {
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) output->append(buf, n);
  int status = pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

mode_t Mode(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(Install, DestdirLayoutAndAVerifiedUnit) {
  std::string binary = TestBinaryPath();
  std::string build = binary.substr(0, binary.rfind('/'));
  std::string dest = TestTempDir("install");
  std::string out;
  // The files only: the programs of this build are installed as they are.
  ASSERT_EQ(Shell("make -s -C '" + TestSourceDir() + "' install-files BUILD='" + build + "' DESTDIR='" + dest + "'",
                  &out),
            0)
      << out;

  EXPECT_EQ(Mode(dest + "/usr/local/bin/strmd"), 0755u);
  EXPECT_EQ(Mode(dest + "/usr/local/bin/strmdctl"), 0755u);
  EXPECT_EQ(Mode(dest + "/etc/kestravon/strmd.reg.example"), 0644u);
  // It holds the database password.
  EXPECT_EQ(Mode(dest + "/etc/kestravon/strmd.reg"), 0640u);
  EXPECT_NE(Mode(dest + "/srv/kestravon/sites/default/temp"), 0u);
  std::string users = Read(dest + "/usr/local/lib/sysusers.d/strmd.conf");
  EXPECT_NE(users.find("u strmd "), std::string::npos) << users;

  std::string unit = Read(dest + "/usr/local/lib/systemd/system/strmd.service");
  for (const char* line :
       {"Type=notify", "ExecStart=/usr/local/bin/strmd -s", "User=strmd", "ProtectSystem=strict",
        "ReadWritePaths=-/srv/kestravon", "LogsDirectory=strmd", "ProtectHome=yes", "PrivateTmp=yes",
        "NoNewPrivileges=yes", "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX", "LimitNOFILE=65536",
        "Environment=STRMD_REGISTRY=/etc/kestravon/strmd.reg"})
    EXPECT_NE(unit.find(std::string("\n") + line + "\n"), std::string::npos) << line;

  // A registry file already there is the operator's: a second install keeps it.
  {
    std::ofstream mine(dest + "/etc/kestravon/strmd.reg");
    mine << "mine\n";
  }
  out.clear();
  ASSERT_EQ(Shell("make -s -C '" + TestSourceDir() + "' install-files BUILD='" + build + "' DESTDIR='" + dest + "'",
                  &out),
            0)
      << out;
  EXPECT_EQ(Read(dest + "/etc/kestravon/strmd.reg"), "mine\n");

  out.clear();
  if (Shell("command -v systemd-analyze", &out) != 0) {
    GTEST_SKIP() << "systemd-analyze is not installed: the unit is not verified";
  }
  // verify checks that ExecStart names an executable: point it into DESTDIR.
  std::string copy = dest + "/verify/strmd.service";
  mkdir((dest + "/verify").c_str(), 0755);
  {
    std::string moved = unit;
    std::string from = "ExecStart=/usr/local/bin/strmd";
    moved.replace(moved.find(from), from.size(), "ExecStart=" + dest + "/usr/local/bin/strmd");
    std::ofstream(copy) << moved;
  }
  out.clear();
  EXPECT_EQ(Shell("systemd-analyze verify '" + copy + "'", &out), 0) << out;
  // Other units of the machine may draw remarks; ours must not.
  EXPECT_EQ(out.find("strmd.service:"), std::string::npos) << out;
}

}  // namespace
