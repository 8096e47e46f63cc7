// Console and error-log reports.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "util/Log.h"
#include "support/TestEnv.h"

namespace {

struct LogTest : ::testing::Test {
  std::string dir = TestTempDir("log");
  void SetUp() override {
    setenv("STRMD_LOG_DIR", (dir + "/logs").c_str(), 1);
    g_errorsToFile = true;
  }
  void TearDown() override { g_errorsToFile = false; }
  std::string ReadLogPath(const char* name) {
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    return LogFileName(LogFolder(), name, t.tm_year + 1900, t.tm_mon + 1);
  }
  std::string ReadLog(const char* name) {
    std::ifstream in(ReadLogPath(name));
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

int64_t g_fakeNow = 0;
int64_t FakeNow() { return g_fakeNow; }

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A peer that provokes reports in a loop gets kReportBurst lines a window;
// the rest are counted and told in one line, at its next admitted report or
// once the window has passed. Other peers and threads without a peer are not
// held back.
TEST_F(LogTest, RepeatedReportsFromOnePeerAreCountedNotWritten) {
  LogSetReportClockForTest(FakeNow);
  g_fakeNow = 1000000;
  testing::internal::CaptureStderr();
  {
    LogPeerScope peer("192.0.2.7");
    errno = 0;
    for (uint32_t i = 0; i < kReportBurst + 5; ++i) ReportError("RTMP Timeout %u", i);
    EXPECT_EQ(Count(ReadLog("error"), "RTMP Timeout"), kReportBurst);
    EXPECT_EQ(Count(ReadLog("error"), "suppressed"), 0u);

    g_fakeNow += kReportWindowMs - 1;
    ReportError("still in the window");
    EXPECT_EQ(Count(ReadLog("error"), "still in the window"), 0u);
    g_fakeNow += 1;
    errno = ENOENT;
    ReportError("next window");
    EXPECT_EQ(errno, ENOENT);
    std::string log = ReadLog("error");
    EXPECT_NE(log.find("] ERROR: 6 reports from 192.0.2.7 suppressed\n["), std::string::npos) << log;
    EXPECT_LT(log.find("suppressed"), log.find("next window"));

    // Another address on another thread has its own count.
    std::thread other([] {
      LogPeerScope scope("198.51.100.1");
      errno = 0;
      ReportError("from the other peer");
    });
    other.join();
    EXPECT_EQ(Count(ReadLog("error"), "from the other peer"), 1u);
    for (uint32_t i = 0; i < kReportBurst + 2; ++i) ReportError("tail");
  }
  // Ending the scope inside the window tells nothing yet (a connect flood
  // ends one per connection); the first report once the window has passed
  // does, from any thread. Reports without a peer are never limited.
  EXPECT_EQ(Count(ReadLog("error"), "ERROR: 3 reports from 192.0.2.7 suppressed"), 0u);
  g_fakeNow += kReportWindowMs;
  errno = 0;
  ReportError("later");
  std::string log = ReadLog("error");
  EXPECT_NE(log.find("ERROR: 3 reports from 192.0.2.7 suppressed"), std::string::npos) << log;
  EXPECT_LT(log.find("3 reports from"), log.find("later"));
  for (uint32_t i = 0; i < kReportBurst + 5; ++i) ReportError("no peer");
  EXPECT_EQ(Count(ReadLog("error"), "no peer"), kReportBurst + 5);
  testing::internal::GetCapturedStderr();
  LogSetReportClockForTest(nullptr);
}

// The log file stays open between lines; one deleted or moved away (with its
// folder) is made anew by the next line.
TEST_F(LogTest, DeletedLogFileAndFolderAreMadeAgain) {
  testing::internal::CaptureStderr();
  LogToFile("trace", "first");
  std::filesystem::remove_all(dir + "/logs");
  LogToFile("trace", "second");
  std::string log = ReadLog("trace");
  EXPECT_EQ(log.find("first"), std::string::npos);
  EXPECT_NE(log.find("second"), std::string::npos);
  std::filesystem::rename(ReadLogPath("trace"), dir + "/moved.log");
  LogToFile("trace", "third");
  EXPECT_NE(ReadLog("trace").find("third"), std::string::npos);
  EXPECT_EQ(ReadLog("trace").find("second"), std::string::npos);
  testing::internal::GetCapturedStderr();
}

// Texts longer than the stack buffer are formatted whole, up to the old
// bound of 512 KiB.
TEST_F(LogTest, LongTextsAreKeptWhole) {
  std::string big(5000, 'x');
  testing::internal::CaptureStderr();
  LogToFile("trace", "%s|", big.c_str());
  std::string huge(600000, 'y');
  LogToFile("trace", "%s", huge.c_str());
  testing::internal::GetCapturedStderr();
  std::string log = ReadLog("trace");
  EXPECT_NE(log.find(big + "|\n"), std::string::npos);
  EXPECT_EQ(Count(log, "\n"), 2u);
  EXPECT_LT(log.size(), 5000u + 524288u + 64u);
}

}  // namespace
