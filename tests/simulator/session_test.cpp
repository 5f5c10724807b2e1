// The simulated display's session, without a line: bytes and times go in, the
// events, the outputs and the end of the session come out.
#include "simulator/session.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "tests/support/captured_output.h"

namespace {

const std::string kReset("\x1B\x40", 2);
const std::string kClose("\x1B\x02", 2);

// One read of the line, as the program makes it: the bytes at `seconds`, then
// the output's turn.
void Feed(Session& session, SessionOutput& output, const std::string& bytes, double seconds) {
  session.Receive(bytes, seconds);
  output.Update(session, seconds, !bytes.empty());
}

TEST(Session, EndsAtTheCloseOrTheTimeLimitWithItsStatus) {
  Session closed(20, 2, 30);
  closed.Receive(kReset + "Hi", 0.1);
  EXPECT_FALSE(closed.over());
  closed.Receive(kClose, 0.2);
  EXPECT_TRUE(closed.over());
  EXPECT_EQ(Session::kClosed, closed.end());
  EXPECT_EQ(0, closed.ExitStatus());
  EXPECT_EQ("closed by the driver", closed.EndText());

  Session timedOut(20, 2, 2);
  timedOut.Receive(kReset + "Hi", 0.1);
  timedOut.Receive("", 1.95);
  EXPECT_FALSE(timedOut.over());
  timedOut.Receive("", 2.0);
  EXPECT_EQ(Session::kTimeLimit, timedOut.end());
  EXPECT_EQ(1, timedOut.ExitStatus());
  EXPECT_EQ("no closing command came", timedOut.EndText());

  // No limit: only the close ends it.
  Session endless(20, 2, 0);
  endless.Receive("", 100000);
  EXPECT_FALSE(endless.over());

  Session cut(20, 2, 30);
  cut.Receive(kReset, 0.1);
  cut.LineFailed("the line was hung up");
  EXPECT_EQ(Session::kLineFailed, cut.end());
  EXPECT_EQ("the line was hung up", cut.lineError());
  EXPECT_EQ(1, cut.ExitStatus());

  // A signal ends it as the time limit does, with a status of its own.
  for (int number : {SIGINT, SIGTERM}) {
    Session stopped(20, 2, 0);
    stopped.Receive(kReset + "Hi", 0.1);
    stopped.Stop(number);
    EXPECT_EQ(Session::kStopped, stopped.end());
    EXPECT_EQ(128 + number, stopped.ExitStatus());
    EXPECT_EQ(std::string("stopped by ") + (number == SIGINT ? "SIGINT" : "SIGTERM") + " before a closing command came",
              stopped.EndText());
  }
}

// The session as the program runs it: one Receive per read, until it is over.
Session RunReads(const std::vector<std::string>& reads) {
  Session session(20, 2, 30);
  double seconds = 0;
  for (const std::string& bytes : reads) {
    if (session.over()) break;
    session.Receive(bytes, seconds += 0.01);
  }
  session.Finish();
  return session;
}

TEST(Session, NothingAfterTheCloseIsDrawnHoweverTheReadsSplitTheBytes) {
  // Bytes after the close, and a reset after it that must not open the session again.
  for (const std::string& stream : {kReset + "Hi" + kClose + "Bye", kReset + "Hi" + kClose + kReset + "X"}) {
    for (size_t first = 0; first <= stream.size(); ++first) {
      for (size_t second = first; second <= stream.size(); ++second) {
        const Session session =
            RunReads({stream.substr(0, first), stream.substr(first, second - first), stream.substr(second)});
        SCOPED_TRACE(testing::Message() << "reads split at " << first << " and " << second);
        EXPECT_EQ("Hi                  ", session.display().Row(0));
        EXPECT_EQ(Session::kClosed, session.end());
        EXPECT_EQ(0, session.ExitStatus());
        EXPECT_EQ(1, session.display().resets());
        // What came after the close in the same read is reported once, as ignored.
        const size_t closeEnd = stream.find(kClose) + kClose.size();
        const size_t readEnd = closeEnd <= first ? first : closeEnd <= second ? second : stream.size();
        const DisplayEvent& last = session.display().events().back();
        if (readEnd == closeEnd) {
          EXPECT_EQ(DisplayEvent::kClose, last.kind);
        } else {
          const size_t after = readEnd - closeEnd;
          EXPECT_EQ(DisplayEvent::kIgnored, last.kind);
          EXPECT_EQ("ignored: " + std::to_string(after) + (after == 1 ? " byte" : " bytes") + " after the close",
                    last.what);
          EXPECT_EQ(stream.substr(closeEnd, after), last.bytes);
          EXPECT_TRUE(last.flagged());
        }
      }
    }
  }
}

TEST(Session, ASequenceIsCutOffAfterASecondOfQuietOrAtTheEnd) {
  Session session(20, 2, 0);
  session.Receive("\x1B\x6C\x01", 0.5);
  session.Receive("", 1.45);
  EXPECT_TRUE(session.display().midSequence());
  session.Receive("", 1.5);
  EXPECT_FALSE(session.display().midSequence());
  EXPECT_EQ("cut-off sequence: ESC \"l\" with 1 of its 2 argument bytes", session.display().events().back().what);
  // A byte within the second keeps the sequence waiting: the quiet counts from the last byte.
  session.Receive("\x1B", 2.0);
  session.Receive("\x6C", 2.9);
  session.Receive("", 3.5);
  EXPECT_TRUE(session.display().midSequence());
  session.Finish();
  EXPECT_EQ("cut-off sequence: ESC \"l\" with 0 of its 2 argument bytes", session.display().events().back().what);
  EXPECT_EQ(2u, session.display().events().size());
}

TEST(SessionOutput, EventLinesAndTheScreenWhenTheLineGoesQuiet) {
  Session session(4, 1, 0);
  qvtest::CapturedOutput out;
  EventLinesOutput output(out.file());
  output.Update(session, 0, false);
  Feed(session, output, kReset + "ab", 1.0);
  Feed(session, output, "", 1.05);
  EXPECT_EQ("", out.Text());  // the line is not quiet yet
  Feed(session, output, "", 1.1);
  EXPECT_EQ("display: reset\ndisplay: text \"ab\"\n+----+\n|ab  |\n+----+\n", out.Text());
  Feed(session, output, "", 5.0);  // nothing new, nothing printed
  Feed(session, output, kClose, 5.5);
  session.Finish();
  output.Finish(session, 5.5);
  EXPECT_EQ(
      "display: reset\ndisplay: text \"ab\"\n+----+\n|ab  |\n+----+\n"
      "display: close\n+----+\n|ab  |\n+----+\n",
      out.Text());
}

TEST(SessionOutput, SpyTimesEventsFromTheFirstByte) {
  Session session(20, 2, 0);
  qvtest::CapturedOutput out;
  SpyOutput output(out.file());
  output.Update(session, 0, false);
  Feed(session, output, kReset, 2.0);
  Feed(session, output, "\x1B\x6C", 2.25);
  Feed(session, output, "", 3.5);
  session.Finish();
  output.Finish(session, 3.5);
  EXPECT_EQ(
      "     0.000  1B 40                      reset\n"
      "     1.500  1B 6C                   !! cut-off sequence: ESC \"l\" with 0 of its 2 argument bytes\n",
      out.Text());
}

}  // namespace
