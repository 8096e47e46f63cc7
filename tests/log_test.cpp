// Console and error-log reports.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "server/Log.h"
#include "support/TestEnv.h"

namespace {

struct LogTest : ::testing::Test {
  std::string dir = TestTempDir("log");
  void SetUp() override {
    setenv("STRMD_LOG_DIR", (dir + "/logs").c_str(), 1);
    g_errorsToFile = true;
  }
  void TearDown() override { g_errorsToFile = false; }
  std::string ReadLog(const char* name) {
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    std::ifstream in(LogFileName(LogFolder(), name, t.tm_year + 1900, t.tm_mon + 1));
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
};

TEST_F(LogTest, MonthlyFileNameAndLineFormat) {
  EXPECT_EQ(LogFileName("/var/log/strmd", "error", 2026, 3), "/var/log/strmd/error-202603.log");
  EXPECT_EQ(LogFileName("/l", "error", 987, 12), "/l/error-098712.log");
  LogToFile("trace", "hello %d", 42);
  LogToFile("trace", "ends in line feed\n");
  std::string log = ReadLog("trace");
  EXPECT_TRUE(std::regex_match(log, std::regex(
      R"(\[\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\] hello 42\n\[\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\] ends in line feed\n)")))
      << log;
}

TEST_F(LogTest, ReportWithErrnoZeroHasNoSystemText) {
  errno = 0;
  REPORT_ASSERT("g_listensock", "Server");
  std::string log = ReadLog("error");
  EXPECT_TRUE(std::regex_search(log, std::regex(R"(\] ERROR: ASSERT\(g_listensock\) failed at Server:\d+\n$)"))) << log;
}

TEST_F(LogTest, ReportAddsSystemTextAndKeepsErrno) {
  errno = EADDRINUSE;
  REPORT_ASSERT("res != SOCKET_ERROR", "Server");
  EXPECT_EQ(errno, EADDRINUSE);
  std::string log = ReadLog("error");
  EXPECT_NE(log.find("ERROR: Address already in use - ASSERT(res != SOCKET_ERROR) failed at Server:"),
            std::string::npos) << log;
}

TEST_F(LogTest, CodeWithoutTextPutsMessageFirstInFileAndCodeFirstOnConsole) {
  errno = 9999;
  ReportError("no text for this");
  EXPECT_EQ(errno, 9999);
  EXPECT_NE(ReadLog("error").find("ERROR: no text for this: 9999\n"), std::string::npos);

  g_errorsToFile = false;
  testing::internal::CaptureStderr();
  errno = 9999;
  ReportError("no text for this");
  std::string console = testing::internal::GetCapturedStderr();
  EXPECT_EQ(console, "ERROR: 9999 no text for this\n");
  EXPECT_EQ(errno, 9999);
}

TEST_F(LogTest, ProtocolLogHonoursLevelAndHexLayout) {
  testing::internal::CaptureStderr();
  ProtocolLog(LOG_DEBUG, "dropped");
  ProtocolLog(LOG_ERROR, "kept %d", 1);
  const uint8_t bytes[18] = {0x00, 0x01, 0xab, 0xff, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
  ProtocolLogHex(LOG_INFO, bytes, sizeof bytes);
  ProtocolLogHex(LOG_DEBUG2, bytes, sizeof bytes);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "ERROR: kept 1\n"
            "INFO: 00 01 ab ff 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f\n"
            "INFO: 10 11\n");
}

}  // namespace
