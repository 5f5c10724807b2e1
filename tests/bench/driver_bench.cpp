// What the driver adds to the serial writes it makes: each driver call is
// measured beside a raw write() of the same bytes to the same descriptor (the
// driver's own port), in the same process, with the debug log off and on. The
// report ends with a table of the ratios.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "diagnostics/debug_log.h"
#include "driver/display_driver.h"
#include "driver/driver_state.h"
#include "driver/port_parameters.h"
#include "platform/posix/fault_injection.h"
#include "tests/support/driver_reset.h"

namespace {

const char kText[] = "Hello from QV-731 ..";  // one row: 20 bytes
const char kSecondRow[] = "second row of twenty";
static_assert(sizeof kText - 1 == 20 && sizeof kSecondRow - 1 == 20, "rows of twenty");
const char kPosition11[4] = {0x1B, 0x6C, 1, 1};
const char kPosition12[4] = {0x1B, 0x6C, 1, 2};
const char kInitialisation[8] = {0x1B, 0x40, 0x1B, 0x2A, 0x04, 0x1B, 0x5F, 0x00};

// A pseudo-terminal whose far end is read away, so that writes never stall.
struct Line {
  int master = -1;
  int slave = -1;  // held, so that the line stays up
  std::string device;
  std::atomic<bool> stop{false};
  std::thread drain;

  Line() {
    char name[256];
    openpty(&master, &slave, name, nullptr, nullptr);
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

int g_port = -1;  // the driver's own descriptor

void Logging(bool on) { g_log.debugFlag = on ? 1 : 0; }

void RawWrite() { benchmark::DoNotOptimize(write(g_port, kText, sizeof kText - 1)); }
void DriverWrite() { benchmark::DoNotOptimize(DISPLAYDLL_Write(kText)); }
void RawSetPosition() { benchmark::DoNotOptimize(write(g_port, kPosition11, sizeof kPosition11)); }
void DriverSetPosition() { benchmark::DoNotOptimize(DISPLAYDLL_SetPosition(1, 1)); }
void RawPowerResume() { benchmark::DoNotOptimize(write(g_port, kInitialisation, sizeof kInitialisation)); }
void DriverPowerResume() { benchmark::DoNotOptimize(DISPLAYDLL_PowerResume()); }
// A full screen: both rows positioned and written.
void RawRefresh() {
  benchmark::DoNotOptimize(write(g_port, kPosition11, sizeof kPosition11));
  benchmark::DoNotOptimize(write(g_port, kText, sizeof kText - 1));
  benchmark::DoNotOptimize(write(g_port, kPosition12, sizeof kPosition12));
  benchmark::DoNotOptimize(write(g_port, kSecondRow, sizeof kSecondRow - 1));
}
void DriverRefresh() {
  benchmark::DoNotOptimize(DISPLAYDLL_SetPosition(1, 1));
  benchmark::DoNotOptimize(DISPLAYDLL_Write(kText));
  benchmark::DoNotOptimize(DISPLAYDLL_SetPosition(1, 2));
  benchmark::DoNotOptimize(DISPLAYDLL_Write(kSecondRow));
}

struct Case {
  const char* name;
  void (*raw)();
  void (*driver)();
  bool log;
};

const Case kCases[] = {
    {"Write20/log_off", RawWrite, DriverWrite, false},
    {"Write20/log_on", RawWrite, DriverWrite, true},
    {"SetPosition/log_off", RawSetPosition, DriverSetPosition, false},
    {"SetPosition/log_on", RawSetPosition, DriverSetPosition, true},
    {"PowerResume/log_off", RawPowerResume, DriverPowerResume, false},
    {"PowerResume/log_on", RawPowerResume, DriverPowerResume, true},
    {"FullScreen/log_off", RawRefresh, DriverRefresh, false},
    {"FullScreen/log_on", RawRefresh, DriverRefresh, true},
};

const int kRounds = 300;
const int kBlock = 64;

// Nanoseconds per operation over one block of calls.
double Block(void (*operation)()) {
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kBlock; ++i) operation();
  return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() / kBlock;
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Blocks of raw writes and of driver calls take turns, so that whatever else
// the machine does weighs on both alike; the ratio is the median of the
// rounds' ratios. The benchmark's own time is the driver's.
void Compare(benchmark::State& state, const Case* c) {
  std::vector<double> raw;
  std::vector<double> driver;
  std::vector<double> ratios;
  for (auto _ : state) {
    double rawNs = 0;
    double driverNs = 0;
    bool rawFirst = raw.size() % 2 == 0;
    if (rawFirst) rawNs = Block(c->raw);
    Logging(c->log);
    driverNs = Block(c->driver);
    Logging(false);
    if (!rawFirst) rawNs = Block(c->raw);
    raw.push_back(rawNs);
    driver.push_back(driverNs);
    ratios.push_back(driverNs / rawNs);
    state.SetIterationTime(driverNs * 1e-9);
  }
  state.counters["raw_ns"] = Median(raw);
  state.counters["driver_ns"] = Median(driver);
  state.counters["ratio"] = Median(ratios);
}

void RawCopyParameters(benchmark::State& state) {
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
void ParsePortParameters(benchmark::State& state) {
  PortSettings settings;
  for (auto _ : state) benchmark::DoNotOptimize(ParsePortParameters("COM12,19200,7,E,2", &settings));
}
BENCHMARK(RawCopyParameters);
BENCHMARK(ParsePortParameters);

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      auto ratio = run.counters.find("ratio");
      if (ratio != run.counters.end()) {
        rows_.push_back({run.run_name.function_name, run.counters.at("raw_ns").value,
                         run.counters.at("driver_ns").value, ratio->second.value});
      }
      times_[run.benchmark_name()] = run.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Ratios() const {
    printf("\nper call, against a raw write() of the same bytes to the same descriptor (medians of %d rounds):\n",
           kRounds);
    printf("| case | raw write | driver | ratio |\n|---|---:|---:|---:|\n");
    for (const Row& row : rows_) {
      printf("| %s | %.0f ns | %.0f ns | %.2f |\n", row.name.c_str(), row.rawNs, row.driverNs, row.ratio);
    }
    auto parse = times_.find("ParsePortParameters");
    auto copy = times_.find("RawCopyParameters");
    if (parse != times_.end() && copy != times_.end() && copy->second > 0) {
      printf("\nParsePortParameters / RawCopyParameters = %.2f\n", parse->second / copy->second);
    }
  }

 private:
  struct Row {
    std::string name;
    double rawNs;
    double driverNs;
    double ratio;
  };
  std::vector<Row> rows_;
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  FreshDriver fresh;  // the log goes to a temporary folder; it starts off
  Line line;
  unsigned char status = 0;
  DISPLAYDLL_Init(20, 2, (line.device + ",115200,8,N,1").c_str(), &status);
  g_port = PlatformPortDescriptor(g_driver.port);
  if (status != 1 || g_port < 0) {
    fprintf(stderr, "cannot open %s\n", line.device.c_str());
    return 1;
  }
  for (const Case& c : kCases) {
    benchmark::RegisterBenchmark(c.name, Compare, &c)->UseManualTime()->Iterations(kRounds);
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.Ratios();
  DISPLAYDLL_Done();
  benchmark::Shutdown();
  return 0;
}
