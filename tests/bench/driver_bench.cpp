// How much the driver adds to the serial writes it makes: each driver call is
// measured beside a baseline that does the same I/O directly, in the same
// process, and the report ends with their ratios.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>

#include "driver/display_driver.h"
#include "driver/port_parameters.h"
#include "tests/support/driver_reset.h"

namespace {

const char kText[] = "Hello from QV-731 ..";  // one row

// A pseudo-terminal whose far end is read away, so that writes never stall.
struct Line {
  int master = -1;
  int slave = -1;
  std::string device;
  std::atomic<bool> stop{false};
  std::thread drain;

  Line() {
    char name[256];
    openpty(&master, &slave, name, nullptr, nullptr);
    struct termios tio;
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    device = name;
    drain = std::thread([this] {
      char buffer[4096];
      while (!stop) {
        struct pollfd ready = {master, POLLIN, 0};
        if (poll(&ready, 1, 20) > 0 && read(master, buffer, sizeof buffer) <= 0) break;
      }
    });
  }
  ~Line() {
    stop = true;
    drain.join();
    close(slave);
    close(master);
  }
};

Line* g_line = nullptr;

void BM_BaselineWrite(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(write(g_line->slave, kText, sizeof kText - 1));
}
BENCHMARK(BM_BaselineWrite);

void BM_DriverWrite(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(DISPLAYDLL_Write(kText));
}
BENCHMARK(BM_DriverWrite);

void BM_BaselinePosition(benchmark::State& state) {
  const char command[4] = {0x1B, 0x6C, 1, 1};
  for (auto _ : state) benchmark::DoNotOptimize(write(g_line->slave, command, sizeof command));
}
BENCHMARK(BM_BaselinePosition);

void BM_DriverSetPosition(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(DISPLAYDLL_SetPosition(1, 1));
}
BENCHMARK(BM_DriverSetPosition);

void BM_BaselineCopyParameters(benchmark::State& state) {
  // The parser's least work: reading the string into field buffers.
  std::string text = "COM12,19200,7,E,2";
  char copy[80];
  for (auto _ : state) {
    benchmark::DoNotOptimize(text.data());
    memcpy(copy, text.data(), strlen(text.data()) + 1);
    benchmark::DoNotOptimize(copy);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_BaselineCopyParameters);

void BM_ParsePortParameters(benchmark::State& state) {
  PortSettings settings;
  for (auto _ : state) benchmark::DoNotOptimize(ParsePortParameters("COM12,19200,7,E,2", &settings));
}
BENCHMARK(BM_ParsePortParameters);

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) times_[run.benchmark_name()] = run.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  void Ratios() const {
    const char* pairs[][2] = {{"BM_DriverWrite", "BM_BaselineWrite"},
                              {"BM_DriverSetPosition", "BM_BaselinePosition"},
                              {"BM_ParsePortParameters", "BM_BaselineCopyParameters"}};
    printf("\nratios to the baseline in this run:\n");
    for (const auto& pair : pairs) {
      auto measured = times_.find(pair[0]);
      auto baseline = times_.find(pair[1]);
      if (measured == times_.end() || baseline == times_.end() || baseline->second <= 0) continue;
      printf("  %-24s / %-26s = %6.2f\n", pair[0], pair[1], measured->second / baseline->second);
    }
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  FreshDriver fresh;  // logs go to a temporary folder; the debug log is off
  Line line;
  g_line = &line;
  unsigned char status = 0;
  DISPLAYDLL_Init(20, 2, (line.device + ",115200,8,N,1").c_str(), &status);
  if (status != 1) {
    fprintf(stderr, "cannot open %s\n", line.device.c_str());
    return 1;
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.Ratios();
  DISPLAYDLL_Done();
  benchmark::Shutdown();
  return 0;
}
