// Viewing and recording accounting in process, against a fresh demo database:
// what the FileSession and RecordSession rows receive when the timing of a
// stream stops in the cases a player over the wire cannot stage (a calendar
// clock that stepped back, a stream that accounted a recording).
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "Database/Record.h"
#include "client/Client.h"
#include "media/RtmpStream.h"
#include "support/TestDb.h"
#include "support/TestEnv.h"
#include "util/Clock.h"

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

#ifdef STRMD_TEST_HOOKS
std::atomic<int64_t> g_calendar{1800000000};
int64_t Calendar() { return g_calendar.load(); }
#endif

// What a player's play, pause, resume, end and close do to its viewing row,
// on a calendar clock the test sets: whole seconds are added when the timing
// stops, a stop within the same second writes nothing and leaves the row open
// for the next play to reuse, and a row once closed is not reopened.
TEST_F(SessionAccounting, ViewingSecondsOnTheCalendarClock) {
  SKIP_WITHOUT_TEST_HOOKS();
#ifdef STRMD_TEST_HOOKS
  enum Kind { kPlay, kStop, kResume, kReplay };
  struct Step {
    Kind kind;
    int64_t second;       // the calendar clock at this step
    const char* duration;  // the row after the step
    const char* status;
  };
  struct Row {
    const char* name;
    std::vector<Step> steps;
    bool replayReuses;  // a second play takes the first's row
    const char* rowCount;
  };
  const std::vector<Row> rows = {
      {"paused viewing: two updates of one row",
       {{kPlay, 0, "0", "1"}, {kStop, 2, "2", "2"}, {kResume, 2, "2", "2"}, {kStop, 5, "5", "2"}}, false, "2"},
      {"one second is accounted", {{kPlay, 0, "0", "1"}, {kStop, 1, "1", "2"}}, false, "2"},
      {"short viewing writes nothing and its row is reused",
       {{kPlay, 0, "0", "1"}, {kStop, 0, "0", "1"}, {kReplay, 0, "0", "1"}, {kStop, 0, "0", "1"}}, true, "2"},
      {"a closed row is not reused",
       {{kPlay, 0, "0", "1"}, {kStop, 3, "3", "2"}, {kReplay, 3, "0", "1"}, {kStop, 4, "1", "2"}}, false, "3"},
  };
  SessionSetClock(Calendar);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_TRUE(db_.Run("delete from FileSession where id > 1"));
    const int64_t base = g_calendar += 1000;
    int id = 0;
    for (const Step& step : row.steps) {
      SCOPED_TRACE(step.second);
      g_calendar = base + step.second;
      if (step.kind == kPlay || step.kind == kReplay) {
        stream_.timing = SessionTiming{};
        OpenViewingSession(&stream_, 200);
        StartSessionTiming(&stream_);
        if (step.kind == kReplay) {
          EXPECT_EQ(stream_.timing.rowId == id, row.replayReuses);
        }
        id = stream_.timing.rowId;
        ASSERT_GT(id, 1);
      } else if (step.kind == kResume) {
        StartSessionTiming(&stream_);
      } else {
        StopSessionTiming(&stream_);
      }
      EXPECT_EQ(FileRow("duration", id), step.duration);
      EXPECT_EQ(FileRow("status", id), step.status);
    }
    EXPECT_EQ(db_.Value("select count(*) from FileSession"), row.rowCount);
    EXPECT_EQ(FileRow("userid", id), "2");
    EXPECT_EQ(FileRow("sessionid", id), "2");
  }
  SessionSetClock(nullptr);
#endif
}

}  // namespace
