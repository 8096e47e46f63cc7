// Registry file and configuration loading.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>

#include "config/ServerConfig.h"
#include "support/TestEnv.h"
#include "util/EnvNumber.h"
#include "util/Registry.h"

namespace {

const char* kHeader = "Windows Registry Editor Version 5.00\n\n";
const char* kServerKey = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server]\n";

struct ConfigTest : ::testing::Test {
  std::string dir = TestTempDir("config");
  std::string path = dir + "/strmd.reg";

  void Write(const std::string& body) {
    std::ofstream(path) << body;
    setenv("STRMD_REGISTRY", path.c_str(), 1);
    setenv("STRMD_LOG_DIR", (dir + "/logs").c_str(), 1);
  }
  void Load(ServerConfig* config, int expect = 1) {
    ServerConfigSetName(config, "kvd");
    EXPECT_EQ(ServerConfigLoad(config), expect);
  }
  static SiteConfig* Site(ServerConfig& c, int i) {
    ListNode* n = c.sites.first;
    while (i-- > 0 && n != nullptr) n = n->next;
    return n != nullptr ? static_cast<SiteConfig*>(n->item) : nullptr;
  }
};

TEST_F(ConfigTest, NamesFormSectionAndKey) {
  ServerConfig a, b;
  ServerConfigSetName(&a, "kvd");
  ServerConfigSetName(&b, "x2");
  EXPECT_STREQ(a.key, "SOFTWARE\\Kestravon\\Server");
  EXPECT_STREQ(a.section, "Server");
  EXPECT_STREQ(b.key, "SOFTWARE\\Kestravon\\Server-x2");
  EXPECT_STREQ(b.section, "Server-x2");
}

TEST_F(ConfigTest, DefaultsWhenValuesMissing) {
  Write(std::string(kHeader) + kServerKey);
  ServerConfig c;
  Load(&c);
  EXPECT_EQ(c.rtmpPort, 1935);
  EXPECT_EQ(c.role, 1);
  EXPECT_STREQ(c.masterName, "localhost");
  EXPECT_EQ(c.webPort, 80);
  EXPECT_EQ(c.httpsPort, 443);
  EXPECT_EQ(c.httpsEnabled, 0);
  EXPECT_STREQ(c.version, "15.0.11");
  EXPECT_EQ(c.sites.count, 0u);
}

TEST_F(ConfigTest, TextTypedPortCountsAsMissing) {
  Write(std::string(kHeader) + kServerKey + "\"RtmpPortNumber\"=\"2000\"\n\"PortNumber\"=hex:01,02,03,04\n");
  ServerConfig c;
  Load(&c);
  EXPECT_EQ(c.rtmpPort, 1935);
  EXPECT_EQ(c.webPort, 80);  // binary of 4 bytes is not a number either
}

TEST_F(ConfigTest, MissingKeyOrFileSetsNothing) {
  Write(std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n\"RtmpPortNumber\"=dword:00000001\n");
  ServerConfig c;
  Load(&c, 0);
  EXPECT_EQ(c.rtmpPort, 0);
  EXPECT_EQ(c.sites.count, 0u);
  EXPECT_STREQ(c.version, "");

  setenv("STRMD_REGISTRY", (dir + "/absent.reg").c_str(), 1);
  ServerConfig d;
  Load(&d, 0);
  EXPECT_EQ(d.rtmpPort, 0);
}

TEST_F(ConfigTest, DefaultSiteMovesToHeadAndDisabledSitesAreLeftOut) {
  Write(std::string(kHeader) + kServerKey + "\"InstallFolder\"=\"C:\\\\kv\"\n\n" +
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server\\beta]\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server\\Alpha]\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server\\default]\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server\\off]\n\"enable\"=dword:00000000\n");
  ServerConfig c;
  Load(&c);
  ASSERT_EQ(c.sites.count, 3u);
  // Enumeration is case-insensitive alphabetical: Alpha, beta, default.
  EXPECT_STREQ(Site(c, 0)->name, "default");
  EXPECT_STREQ(Site(c, 1)->name, "Alpha");
  EXPECT_STREQ(Site(c, 2)->name, "beta");
  EXPECT_STREQ(Site(c, 1)->path, "C:\\kv\\sites\\Alpha");
  EXPECT_STREQ(Site(c, 1)->temp, "C:\\kv\\sites\\Alpha\\temp");
}

TEST_F(ConfigTest, PathWithoutFilesDerivesFromNewPath) {
  Write(std::string(kHeader) + kServerKey +
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server\\s1]\n"
        "\"path\"=\"/srv/s1\"\n\"path_cache\"=\"/fast/cache\"\n"
        "\"sql_server\"=\"db:3307\"\n\"sql_user\"=\"u\"\n");
  ServerConfig c;
  Load(&c);
  SiteConfig* s = Site(c, 0);
  ASSERT_NE(s, nullptr);
  EXPECT_STREQ(s->path, "/srv/s1");
  EXPECT_STREQ(s->files, "/srv/s1\\files");
  EXPECT_STREQ(s->htdocs, "/srv/s1\\htdocs");
  EXPECT_STREQ(s->temp, "/srv/s1\\temp");
  EXPECT_STREQ(s->cache, "/fast/cache");
  EXPECT_STREQ(s->sql_server, "db:3307");
  EXPECT_STREQ(s->sql_user, "u");
  EXPECT_STREQ(s->sql_password, "");
}

TEST_F(ConfigTest, DatabasePoolSettingsHaveDefaultsAndBounds) {
  const std::string site = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server\\";
  Write(std::string(kHeader) + kServerKey + site + "a]\n" + site +
        "b]\n\"sql_connections\"=dword:00000003\n\"sql_timeout\"=dword:00000002\n" + site +
        "c]\n\"sql_connections\"=dword:00000000\n\"sql_timeout\"=dword:ffffffff\n" + site +
        "d]\n\"sql_connections\"=dword:00000401\n\"sql_timeout\"=dword:00000e11\n" + site +
        "e]\n\"sql_connections\"=\"8\"\n");
  ServerConfig c;
  Load(&c);
  const int32_t want[][2] = {{16, 30}, {3, 2}, {16, 30}, {1024, 3600}, {16, 30}};
  for (int i = 0; i < 5; ++i) {
    SiteConfig* s = Site(c, i);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->sql_connections, want[i][0]) << s->name;
    EXPECT_EQ(s->sql_timeout, want[i][1]) << s->name;
  }
}

TEST_F(ConfigTest, RelayMergeMsDefaultsTo20AndIsCutTo500) {
  const std::pair<std::string, int32_t> cases[] = {
      {"", 20}, {"\"RelayMergeMs\"=dword:00000000\n", 0}, {"\"RelayMergeMs\"=dword:00000007\n", 7},
      {"\"RelayMergeMs\"=dword:000001f5\n", 500}, {"\"RelayMergeMs\"=dword:ffffffff\n", 500}};
  for (const auto& [value, want] : cases) {
    Write(std::string(kHeader) + kServerKey + value);
    ServerConfig c;
    Load(&c);
    EXPECT_EQ(c.relayMergeMs, want) << value;
  }
}

TEST_F(ConfigTest, SeventeenHostNamesLoadSixteen) {
  std::string body = std::string(kHeader) + kServerKey + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server\\s]\n";
  for (int i = 0; i < 17; ++i) {
    char name[32];
    snprintf(name, sizeof name, "host%02d", i);
    body += std::string("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server\\s\\") + name + "]\n";
  }
  Write(body);
  ServerConfig c;
  Load(&c);
  SiteConfig* s = Site(c, 0);
  ASSERT_NE(s, nullptr);
  EXPECT_STREQ(s->hostNames[0], "host00");
  EXPECT_STREQ(s->hostNames[15], "host15");
}

TEST_F(ConfigTest, FindSiteByNameHostFallbackOrNone) {
  Write(std::string(kHeader) + kServerKey +
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server\\school]\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server\\school\\classroom]\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server\\zeta]\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server\\zeta\\room]\n");
  ServerConfig c;
  Load(&c);
  EXPECT_STREQ(FindSite(&c.sites, "zeta")->name, "zeta");
  EXPECT_STREQ(FindSite(&c.sites, "xclassroom2.example")->name, "school");
  // "classroom" also contains "room", but school stands first in the list.
  EXPECT_STREQ(FindSite(&c.sites, "classroom")->name, "school");
  EXPECT_EQ(FindSite(&c.sites, "School"), nullptr);  // case-sensitive
  EXPECT_EQ(FindSite(&c.sites, "nothing"), nullptr);

  Write(std::string(kHeader) + kServerKey +
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server\\default]\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server\\school]\n");
  ServerConfig d;
  Load(&d);
  EXPECT_STREQ(FindSite(&d.sites, "nothing")->name, "default");
  EXPECT_STREQ(FindSite(&d.sites, "school")->name, "school");
}

TEST_F(ConfigTest, MalformedLinesAreReportedAndSkipped) {
  Write(std::string(kHeader) + kServerKey + "this is not a value\n\"PortNumber\"=dword:zz\n"
        "\"RtmpPortNumber\"=dword:00000500\n\"Broken=\"x\"\n");
  ServerConfig c;
  testing::internal::CaptureStderr();
  Load(&c);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(c.rtmpPort, 0x500);
  EXPECT_EQ(c.webPort, 80);
  EXPECT_NE(err.find(path + ":4:"), std::string::npos) << err;
  EXPECT_NE(err.find(path + ":5:"), std::string::npos) << err;
  EXPECT_NE(err.find(path + ":7:"), std::string::npos) << err;
}

TEST_F(ConfigTest, TextsLongerThan260BytesCountAsMissing) {
  std::string fits(259, 'a'), tooLong(260, 'b');
  Write(std::string(kHeader) + kServerKey + "\"KvdMasterName\"=\"" + fits + "\"\n\"SmtpHost\"=\"" + tooLong + "\"\n");
  ServerConfig c;
  Load(&c);
  EXPECT_EQ(std::string(c.masterName), fits);
  EXPECT_STREQ(c.smtpHost, "");
}

// The HTTP-FLV texts go into request matching and a response header: a
// query mark in the path, or a CR/LF in the allowed origin (a REG_SZ written
// as hex can hold one), is refused with a report.
TEST_F(ConfigTest, HttpFlvTextsWithControlBytesOrAQueryAreRefused) {
  struct Case {
    std::string values;
    const char* path;
    const char* origin;
    bool reported;
  };
  const Case cases[] = {
      {"\"HttpFlvPath\"=\"/flv/\"\n\"HttpFlvAllowOrigin\"=\"https://a.example\"\n", "/flv/", "https://a.example", false},
      {"\"HttpFlvPath\"=\"/s?x/\"\n\"HttpFlvAllowOrigin\"=hex(1):61,0d,0a,53,65,74,2d,43,6f,6f,6b,69,65,3a,78,00\n",
       "/strmd/", "", true},
      {"\"HttpFlvPath\"=hex(1):2f,61,0a,00\n", "/strmd/", "", true},
  };
  for (const Case& c : cases) {
    Write(std::string(kHeader) + kServerKey + c.values);
    ServerConfig config;
    testing::internal::CaptureStderr();
    Load(&config);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_STREQ(config.httpFlvPath, c.path) << c.values;
    EXPECT_STREQ(config.httpFlvAllowOrigin, c.origin) << c.values;
    EXPECT_EQ(err.find("holds a character it cannot have") != std::string::npos, c.reported) << err;
  }
}

TEST(Registry, ExpandSzIsUtf16AndExpandsVariables) {
  setenv("STRMD_TEST_ROOT", "/data", 1);
  // "%STRMD_TEST_ROOT%\x" as UTF-16LE, over a continuation line.
  std::string hex;
  for (char ch : std::string("%STRMD_TEST_ROOT%\\x")) {
    char b[8];
    snprintf(b, sizeof b, "%02x,00,", static_cast<unsigned char>(ch));
    hex += b;
  }
  hex += "00,00";
  std::string text = std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\K]\n\"P\"=hex(2):" +
                     hex.substr(0, 30) + "\\\n  " + hex.substr(30) + "\n\"Q\"=\"a \\\"quoted\\\" \\\\ text\"\n";
  auto file = RegistryParse(text, "test");
  RegKey key{file, "software\\k"};
  std::string v;
  ASSERT_TRUE(RegistryGetText(key, "p", &v));
  EXPECT_EQ(v, "/data\\x");
  ASSERT_TRUE(RegistryGetText(key, "Q", &v));
  EXPECT_EQ(v, "a \"quoted\" \\ text");
  uint32_t n;
  EXPECT_FALSE(RegistryGetDword(key, "Q", &n));
}

// The one rule of the numeric test variables: only a whole decimal number
// inside the range replaces the default.
TEST(EnvNumber, OnlyAWholeNumberInsideTheRangeCounts) {
  const std::pair<const char*, int64_t> cases[] = {{nullptr, 7}, {"", 7},     {"12", 12}, {"+12", 12},
                                                   {"-3", 7},    {"12ms", 7}, {" 12", 7}, {"0", 0},
                                                   {"100", 100}, {"101", 7},  {"99999999999999999999", 7}};
  for (const auto& [text, expected] : cases) {
    if (text == nullptr)
      unsetenv("STRMD_TEST_ENV_NUMBER");
    else
      setenv("STRMD_TEST_ENV_NUMBER", text, 1);
    EXPECT_EQ(EnvNumber("STRMD_TEST_ENV_NUMBER", 7, 0, 100), expected) << (text ? text : "unset");
  }
  unsetenv("STRMD_TEST_ENV_NUMBER");
}

}  // namespace
