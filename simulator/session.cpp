#include "simulator/session.h"

#include <signal.h>

namespace {

// How long the line stays quiet before the event lines show the screen.
const double kQuietForScreenSeconds = 0.1;

}  // namespace

Session::Session(int columns, int rows, int limitSeconds) : display_(columns, rows), limitSeconds_(limitSeconds) {}

void Session::Receive(const std::string& bytes, double seconds) {
  if (over()) return;
  if (!bytes.empty()) {
    if (!anyByte_) firstByte_ = seconds;
    anyByte_ = true;
    lastByte_ = seconds;
    display_.Feed(bytes);
  } else if (display_.midSequence() && QuietFor(seconds) >= kCutOffQuietSeconds) {
    display_.CutOff();
  }
  if (display_.closed()) {
    end_ = kClosed;
  } else if (limitSeconds_ > 0 && seconds >= limitSeconds_) {
    end_ = kTimeLimit;
  }
}

void Session::LineFailed(const std::string& error) {
  if (over()) return;
  end_ = kLineFailed;
  lineError_ = error;
}

void Session::Stop(int number) {
  if (over()) return;
  end_ = kStopped;
  signal_ = number;
}

void Session::Finish() {
  display_.CutOff();
  display_.ReportIgnored();
}

std::string Session::EndText() const {
  if (display_.closed()) return "closed by the driver";
  if (end_ != kStopped) return "no closing command came";
  const char* name = signal_ == SIGINT ? "SIGINT" : signal_ == SIGTERM ? "SIGTERM" : "a signal";
  return std::string("stopped by ") + name + " before a closing command came";
}

int Session::ExitStatus() const {
  if (display_.closed()) return 0;
  return end_ == kStopped ? 128 + signal_ : 1;
}

void SpyOutput::Update(const Session& session, double seconds, bool) {
  fputs(spy_.Report(session.display(), session.SinceFirstByte(seconds)).c_str(), out_);
  fflush(out_);
}

void SpyOutput::Finish(const Session& session, double seconds) { Update(session, seconds, false); }

bool LiveOutput::FellBack(const Session& session) {
  const DisplayModel& display = session.display();
  if (fellBack_ || view_.Fits(display)) return fellBack_;
  fellBack_ = true;
  fprintf(out_, "display: the terminal is too small for a live view of %dx%d: one line per event follows\n",
          display.columns(), display.rows());
  lines_.StartAt(view_.reported());
  return true;
}

void LiveOutput::Update(const Session& session, double seconds, bool bytesCame) {
  if (FellBack(session)) return lines_.Update(session, seconds, bytesCame);
  const DisplayModel& display = session.display();
  if (!drawn_ || bytesCame || display.events().size() != shown_) view_.Draw(display);
  drawn_ = true;
  shown_ = display.events().size();
}

void LiveOutput::Finish(const Session& session, double seconds) {
  if (FellBack(session)) return lines_.Finish(session, seconds);
  view_.Draw(session.display());
}

void EventLinesOutput::PrintEvents(const Session& session, bool withScreen) {
  const DisplayModel& display = session.display();
  if (shown_ == display.events().size()) return;
  for (; shown_ < display.events().size(); ++shown_)
    fprintf(out_, "display: %s\n", display.events()[shown_].what.c_str());
  if (withScreen) fputs(display.Render().c_str(), out_);
  fflush(out_);
}

void EventLinesOutput::Update(const Session& session, double seconds, bool bytesCame) {
  if (!bytesCame && session.QuietFor(seconds) >= kQuietForScreenSeconds) PrintEvents(session, true);
}

void EventLinesOutput::Finish(const Session& session, double) {
  PrintEvents(session, false);
  fputs(session.display().Render().c_str(), out_);
  fflush(out_);
}
