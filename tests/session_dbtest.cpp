// Viewing and recording accounting in process, against a fresh demo database:
// what the FileSession and RecordSession rows receive when the timing of a
// stream stops in the cases a player over the wire cannot stage (a calendar
// clock that stepped back, a stream that accounted a recording).
#include <gtest/gtest.h>

#include <string>

#include "Database/Record.h"
#include "client/Client.h"
#include "media/RtmpStream.h"
#include "support/TestDb.h"

namespace {

class SessionAccounting : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(db_.ok()) << "no test database (is the testdb fixture running?)";
    conn_.db.reset(DbOpen(db_.site()));
    ASSERT_EQ(DbExecute(conn_.db.get(), "do 1"), 1);
    conn_.session = LoadSession(conn_.db.get(), "phpsessid='%s'", "demo-ben-0002");
    ASSERT_NE(conn_.session, nullptr);
    conn_.user = LoadUser(conn_.db.get(), "id=%d", conn_.session->userid);
    ASSERT_NE(conn_.user, nullptr);
    stream_.client = &conn_;
  }

  std::string FileRow(const std::string& column, int id) {
    return db_.Value("select " + column + " from FileSession where id=" + std::to_string(id));
  }

  TestDatabase db_{"session"};
  Client conn_;
  RtmpStream stream_;
};

TEST_F(SessionAccounting, ClockSteppedBackAddsNoNegativeSeconds) {
  OpenViewingSession(&stream_, 200);
  const int row = stream_.timing.rowId;
  ASSERT_GT(row, 0);
  ASSERT_TRUE(db_.Run("update FileSession set duration=10 where id=" + std::to_string(row)));
  StartSessionTiming(&stream_);
  // The calendar clock went back 30 s while the viewing ran.
  stream_.timing.start = SessionNow() + 30;
  StopSessionTiming(&stream_);
  EXPECT_FALSE(stream_.timing.active);
  EXPECT_EQ(FileRow("duration", row), "10");
  EXPECT_EQ(FileRow("status", row), "1");
}

TEST_F(SessionAccounting, RecordingTimingNeverWritesAViewingRow) {
  // The first recording row gets id 1, as the demo's finished viewing has.
  OpenRecordingSession(&stream_, 200);
  ASSERT_EQ(stream_.timing.rowId, 1);
  EXPECT_TRUE(stream_.timing.active);
  stream_.timing.start = SessionNow() - 30;
  // A pause (or any stop of the timing) on the recording stream.
  StopSessionTiming(&stream_);
  EXPECT_EQ(FileRow("duration", 1), "42");
  EXPECT_EQ(db_.Value("select status from RecordSession where id=1"), "1");
  EXPECT_EQ(db_.Value("select duration from RecordSession where id=1"), "0");

  // The same stream then plays the object: its viewing gets its own row and
  // its own time, not the recording's.
  StartSessionTiming(&stream_);
  stream_.timing.start = SessionNow() - 300;
  PathText flv, index;
  EXPECT_FALSE(ResolvePlayFile(&stream_, flv, index));  // no site here: nothing resolves
  EXPECT_EQ(stream_.timing.rowId, 0);
  EXPECT_FALSE(stream_.timing.active);
}

}  // namespace
