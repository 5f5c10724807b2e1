// One session of the simulated display, from the moment it listens to its
// end: it takes the bytes that come off the line and the time they came, and
// gives the command model's events and the end of the session. The program
// only reads the line and hands over what came; the outputs (the spy, the
// live view, the event lines) watch the session and print what is new.
//
// Times are seconds since the session began. A sequence whose bytes stop for
// kCutOffQuietSeconds is cut off; the time limit (0 for none) ends the session
// when the driver has not closed it by then.
#ifndef QV_SIMULATOR_SESSION_H
#define QV_SIMULATOR_SESSION_H

#include <stdio.h>

#include <string>

#include "simulator/model.h"
#include "simulator/spy.h"
#include "simulator/terminal_view.h"

const double kCutOffQuietSeconds = 1.0;

class Session {
 public:
  enum End { kNotYet, kClosed, kTimeLimit, kLineFailed, kStopped };

  Session(int columns, int rows, int limitSeconds);

  // What one read of the line gave at `seconds`: bytes, or none when the
  // line stayed quiet.
  void Receive(const std::string& bytes, double seconds);
  // The line failed; `error` says how.
  void LineFailed(const std::string& error);
  // A signal (SIGINT, SIGTERM) stopped the session: it ends as at the time limit.
  void Stop(int number);
  // The end of the input: a sequence still waiting for bytes is cut off, and
  // the bytes that came after the close are reported, once.
  void Finish();

  bool over() const { return end_ != kNotYet; }
  End end() const { return end_; }
  const std::string& lineError() const { return lineError_; }
  // The last line the simulator prints: "closed by the driver" or "no closing command came".
  std::string EndText() const;
  // 0 when the driver closed the display; 128 and the signal's number when a
  // signal stopped the session (130 for SIGINT, 143 for SIGTERM); else 1.
  int ExitStatus() const;

  DisplayModel& display() { return display_; }
  const DisplayModel& display() const { return display_; }
  // Seconds from the first byte to `seconds` (0 before any byte), the spy's time.
  double SinceFirstByte(double seconds) const { return anyByte_ ? seconds - firstByte_ : 0; }
  // Seconds the line has been quiet at `seconds`.
  double QuietFor(double seconds) const { return seconds - lastByte_; }

 private:
  DisplayModel display_;
  int limitSeconds_;
  End end_ = kNotYet;
  std::string lineError_;
  int signal_ = 0;
  bool anyByte_ = false;
  double firstByte_ = 0;
  double lastByte_ = 0;
};

// What the simulator prints while a session runs, one of three ways.
class SessionOutput {
 public:
  virtual ~SessionOutput() = default;
  // Called once before the first read, and after every read of the line
  // (`bytesCame` false when it stayed quiet).
  virtual void Update(const Session& session, double seconds, bool bytesCame) = 0;
  // Called once at the end, after Session::Finish().
  virtual void Finish(const Session& session, double seconds) = 0;
};

// --spy: each event's bytes in hex beside its meaning, timed from the first byte.
class SpyOutput : public SessionOutput {
 public:
  explicit SpyOutput(FILE* out) : out_(out) {}
  void Update(const Session& session, double seconds, bool bytesCame) override;
  void Finish(const Session& session, double seconds) override;

 private:
  FILE* out_;
  DisplaySpy spy_;
};

// Into a file or a pipe: one line per event ("display: cursor 1,2"), and the
// screen in a text frame whenever the line has gone quiet after new events.
class EventLinesOutput : public SessionOutput {
 public:
  explicit EventLinesOutput(FILE* out) : out_(out) {}
  void Update(const Session& session, double seconds, bool bytesCame) override;
  void Finish(const Session& session, double seconds) override;
  // Prints the events from this one on (those before were shown otherwise).
  void StartAt(size_t event) { shown_ = event; }

 private:
  void PrintEvents(const Session& session, bool withScreen);
  FILE* out_;
  size_t shown_ = 0;
};

// On a terminal: the screen drawn in place, redrawn as it changes. When the
// frame does not fit on the terminal (too narrow or too low, also after the
// window was made smaller), event lines follow instead.
class LiveOutput : public SessionOutput {
 public:
  // `size` fixes the terminal's size; by default it is asked at every drawing.
  explicit LiveOutput(FILE* out, TerminalSize size = TerminalSize()) : out_(out), view_(out, size), lines_(out) {}
  void Update(const Session& session, double seconds, bool bytesCame) override;
  void Finish(const Session& session, double seconds) override;

 private:
  // True when the output has gone over to event lines, now or before.
  bool FellBack(const Session& session);
  FILE* out_;
  TerminalView view_;
  EventLinesOutput lines_;
  bool fellBack_ = false;
  bool drawn_ = false;
  size_t shown_ = 0;
};

#endif
