// The simulated display: listens on the far end of a serial line and shows
// what the display would show, until the driver's closing command or a time
// limit. The parts, all in this folder: the command model (model), the font
// (font), the pictures (picture), the live view (terminal_view), the spy (spy)
// and the line (serial_line).
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <string>

#include "simulator/picture.h"
#include "simulator/serial_line.h"
#include "simulator/session.h"

#ifdef _WIN32
#include <direct.h>
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

const char kHelp[] =
    "usage: display_sim [OPTIONS] LINE [SECONDS]\n"
    "\n"
    "Listens on the serial LINE and shows what the display at its far end would\n"
    "show, until the driver closes the display or SECONDS (default 30; 0 for no\n"
    "limit) pass. LINE is a serial device or one end of a pseudo-terminal pair\n"
    "(/dev/ttyUSB1, /tmp/line/com6); on Windows a COM port (COM6, \\\\.\\COM12).\n"
    "\n"
    "Options:\n"
    "  --size COLUMNSxROWS  the display's geometry (default 20x2)\n"
    "  --picture FILE       draw the final screen as a dot-matrix picture: PNG when\n"
    "                       FILE ends in .png (not in the Windows build), SVG otherwise\n"
    "  --frames DIR         draw one numbered picture per change of the screen,\n"
    "                       DIR/frame-0001.png and on (.svg in the Windows build)\n"
    "  --spy                print every byte received, in hex, beside the command it\n"
    "                       decodes to and its time in seconds from the first byte;\n"
    "                       unknown and cut-off sequences are marked !!\n"
    "  --baud N             the line's speed: 1200, 2400, 4800, 9600 (the default),\n"
    "                       19200, 38400, 57600 or 115200; always 8-N-1\n"
    "\n"
    "Without --spy the output is a live view of the screen when it is a terminal\n"
    "with room for it, and otherwise one line per event (\"display: cursor 1,2\")\n"
    "with the screen in a text frame whenever the line goes quiet.\n"
    "\n"
    "How the display reads the bytes:\n"
    "  ESC \"@\"       clears the screen, sends the cursor home (1,1) and puts both\n"
    "                settings back to not set\n"
    "  ESC \"*\" n     recorded as setting * n\n"
    "  ESC \"_\" n     recorded as setting _ n\n"
    "  ESC \"l\" x y   moves the cursor to column x, row y, counting from 1; a value\n"
    "                of 0 or beyond the geometry leaves that coordinate where it was\n"
    "  ESC 0x02      closes the session: the simulator stops, and bytes that came\n"
    "                after it are never drawn but reported once as ignored\n"
    "  every other byte is a character at the cursor, which then moves one cell\n"
    "  right; after the last cell of a row it goes to the start of the next row,\n"
    "  after the last cell of the screen back to 1,1. Bytes outside 0x20..0x7E\n"
    "  are characters too and show as a placeholder glyph (\"?\" in text frames).\n"
    "  ESC followed by any other byte is an unknown sequence: reported, and both\n"
    "  bytes skipped. A sequence whose bytes stop for a second, or at the end, is\n"
    "  reported as cut off. Argument bytes may take any value, ESC included.\n"
    "\n"
    "SIGINT (Ctrl-C) and SIGTERM end the session as the time limit does: the\n"
    "picture and the frames are written, then the simulator exits.\n"
    "\n"
    "Exit status: 0 when the driver closed the display, 1 when it did not (or a\n"
    "picture could not be written), 2 for a wrong command line, 3 when the line\n"
    "cannot be used, 130 when SIGINT stopped it and 143 when SIGTERM did.\n";

const int kPollMs = 50;

// The signal that asks the session to end (SIGINT, SIGTERM), 0 until one came.
volatile sig_atomic_t g_stopSignal = 0;

void StopSession(int number) {
  g_stopSignal = number;
  // A second one stops the program at once.
  signal(number, SIG_DFL);
}

int Usage(const std::string& message) {
  fprintf(stderr, "display_sim: %s (see --help)\n", message.c_str());
  return 2;
}

bool ReadNumber(const char* text, long low, long high, int* value) {
  char* end = nullptr;
  errno = 0;
  long number = strtol(text, &end, 10);
  if (end == text || *end != '\0' || errno == ERANGE || number < low || number > high) return false;
  *value = static_cast<int>(number);
  return true;
}

bool ReadSize(const char* text, int* columns, int* rows) {
  const char* x = strchr(text, 'x');
  if (x == nullptr) return false;
  std::string left(text, static_cast<size_t>(x - text));
  return ReadNumber(left.c_str(), 1, 100, columns) && ReadNumber(x + 1, 1, 16, rows);
}

bool MakeFolder(const std::string& path) {
#ifdef _WIN32
  return _mkdir(path.c_str()) == 0 || errno == EEXIST;
#else
  return mkdir(path.c_str(), 0777) == 0 || errno == EEXIST;
#endif
}

// A folder, not a file of that name, where files can be made.
bool IsWritableFolder(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || (info.st_mode & S_IFMT) != S_IFDIR) return false;
#ifdef _WIN32
  return _access(path.c_str(), 2) == 0;
#else
  return access(path.c_str(), W_OK) == 0;
#endif
}

}  // namespace

int main(int argc, char** argv) {
  int columns = 20, rows = 2, baud = 9600, limit = 30;
  bool spy = false;
  std::string picture, frames, line;
  int positional = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    const bool hasValue = i + 1 < argc;
    if (option == "--help" || option == "-h") {
      fputs(kHelp, stdout);
      return 0;
    } else if (option == "--spy") {
      spy = true;
    } else if (option == "--size") {
      if (!hasValue || !ReadSize(argv[++i], &columns, &rows)) return Usage("--size needs COLUMNSxROWS, up to 100x16");
    } else if (option == "--baud") {
      if (!hasValue || !ReadNumber(argv[++i], 1, 4000000, &baud) || !SerialLine::CanSet(baud))
        return Usage("--baud needs one of " + SerialLine::Speeds());
    } else if (option == "--picture") {
      if (!hasValue) return Usage("--picture needs a FILE");
      picture = argv[++i];
    } else if (option == "--frames") {
      if (!hasValue) return Usage("--frames needs a DIR");
      frames = argv[++i];
    } else if (option.size() > 1 && option[0] == '-') {
      return Usage("unknown option " + option);
    } else if (positional == 0) {
      line = option;
      ++positional;
    } else if (positional == 1) {
      if (!ReadNumber(argv[i], 0, 24 * 3600, &limit)) return Usage("SECONDS must be a whole number");
      ++positional;
    } else {
      return Usage("too many arguments");
    }
  }
  if (line.empty()) return Usage("no LINE given");
  if (PictureIsPng(picture) && !CanWritePng())
    return Usage("this build writes SVG pictures only: name the picture .svg");

  if (!frames.empty() && !MakeFolder(frames)) {
    fprintf(stderr, "display_sim: cannot make %s: %s\n", frames.c_str(), strerror(errno));
    return 2;
  }
  if (!frames.empty() && !IsWritableFolder(frames)) return Usage("--frames needs a folder it can write in: " + frames);

  SerialLine serial;
  std::string error;
  if (!serial.Open(line, baud, &error)) {
    fprintf(stderr, "display_sim: %s\n", error.c_str());
    return 3;
  }

  printf("display: listening on %s\n", line.c_str());
  fflush(stdout);
  Session session(columns, rows, limit);
  DisplayModel& display = session.display();
  PictureFrames frameWriter(frames);
  if (!frames.empty()) {
    display.SetListener([&](const DisplayEvent& event) {
      std::string frameError;
      if (!frameWriter.Add(display, event, &frameError)) fprintf(stderr, "display_sim: %s\n", frameError.c_str());
    });
  }
  std::unique_ptr<SessionOutput> output;
  if (spy) {
    output.reset(new SpyOutput(stdout));
  } else if (TerminalCanShowLive(stdout)) {
    output.reset(new LiveOutput(stdout));
  } else {
    output.reset(new EventLinesOutput(stdout));
  }

  // The session's time for what happens now: when the bytes came, before
  // drawing frames takes any time.
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  auto now = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
  signal(SIGINT, StopSession);
  signal(SIGTERM, StopSession);
  output->Update(session, 0, false);
  while (!session.over()) {
    std::string bytes;
    if (!serial.Read(kPollMs, &bytes, &error)) {
      session.LineFailed(error);
      break;
    }
    const double seconds = now();
    session.Receive(bytes, seconds);
    if (g_stopSignal != 0) session.Stop(g_stopSignal);
    output->Update(session, seconds, !bytes.empty());
  }
  session.Finish();
  output->Finish(session, now());
  if (session.end() == Session::kLineFailed) printf("display: %s\n", session.lineError().c_str());
  bool pictureFailed = false;
  if (!picture.empty()) {
    if (WritePicture(display, picture, &error)) {
      printf("display: picture of the screen in %s\n", picture.c_str());
    } else {
      fprintf(stderr, "display_sim: %s\n", error.c_str());
      pictureFailed = true;
    }
  }
  printf("display: %s\n", session.EndText().c_str());
  return pictureFailed || frameWriter.failed() ? 1 : session.ExitStatus();
}
