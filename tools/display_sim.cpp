// The simulated display: listens on the far end of a serial line (a device
// path, such as one end of a pseudo-terminal pair) and shows what a two-line
// display would show, until the driver's closing command or a time limit.
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "tools/display_model.h"

int main(int argc, char** argv) {
  if (argc < 2 || strcmp(argv[1], "--help") == 0) {
    printf(
        "usage: display_sim DEVICE [SECONDS]\n"
        "Shows what a 20x2 display on the far end of DEVICE would show, until the\n"
        "driver closes the display or SECONDS (default 30) pass.\n");
    return argc < 2 ? 2 : 0;
  }
  int seconds = argc > 2 ? atoi(argv[2]) : 30;
  int fd = open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    perror(argv[1]);
    return 1;
  }
  DisplayModel display;
  size_t shown = 0;
  int quietMs = 0;
  for (int waited = 0; waited < seconds * 1000 && !display.closed(); waited += 50) {
    struct pollfd ready = {fd, POLLIN, 0};
    if (poll(&ready, 1, 50) > 0 && (ready.revents & POLLIN)) {
      char buffer[512];
      ssize_t n = read(fd, buffer, sizeof buffer);
      if (n > 0) display.Feed(std::string(buffer, static_cast<size_t>(n)));
      quietMs = 0;
      continue;
    }
    quietMs += 50;
    if (quietMs >= 100 && shown < display.events().size()) {
      for (; shown < display.events().size(); ++shown) printf("display: %s\n", display.events()[shown].c_str());
      fputs(display.Render().c_str(), stdout);
      fflush(stdout);
    }
  }
  for (; shown < display.events().size(); ++shown) printf("display: %s\n", display.events()[shown].c_str());
  fputs(display.Render().c_str(), stdout);
  printf("display: %s\n", display.closed() ? "closed by the driver" : "no closing command came");
  close(fd);
  return display.closed() ? 0 : 1;
}
