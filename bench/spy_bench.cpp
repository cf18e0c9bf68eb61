// spy_bench: what the transport spy costs. The library streams data area 2 (600 pages of 512
// bytes: read all of it, then write all of it back) three ways against the same virtual
// board, in one run:
//
//   direct  straight to the board;
//   spy     through the spy in front of the board;
//   floor   straight to the board, and after each exchange one O_APPEND write of the very
//           record the spy wrote for it: the least that any spy must do while each record is
//           in the file before its call returns.
//
// Counters: `ratio` = spy / direct (whole passes); `spy_cost_us` and `floor_cost_us`, what the
// spy and the floor add to one exchange; `floor_ratio` = spy_cost_us / floor_cost_us, the
// spy's cost against its floor (the goal: at most 1.5).
//
//   SpyStream/0   the in-memory board (the board's own work is a memcpy: the spy's cost stands
//                 out as much as it can)
//   SpyStream/1   a file-backed image (every exchange touches a file, as every exchange on a
//                 real link takes its time)
//   SpyRecord     the part of the spy's cost that is its own work besides the append: putting
//                 one record of a 512-byte page read together (counter `record_us`)
//
// The library is the library's own objects, linked here; its transport entry points are the
// two below, which call the virtual board's, the spy's (loaded with dlopen, its target the
// same virtual board) or the floor's. All three ways pay the same indirect call. The spy and
// the floor write to temporary files, emptied between passes outside the timing; the page
// data is recorded in full (the area's pages hold no user records).
#include <benchmark/benchmark.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "board/hwlink.h"
#include "mviahlp.h"
#include "trace_format.h"
#include "vboard.h"

namespace {

using Transfer = uint32_t(KLIA_CALL *)(uint8_t, uint8_t, const void *, uint8_t, const void *, uint8_t, void *,
                                       uint8_t *, uint8_t *);
using TransferEx = uint32_t(KLIA_CALL *)(uint8_t, uint8_t, const void *, uint16_t, const void *, uint16_t, void *,
                                         uint8_t *, uint8_t *);

struct Transport {
  Transfer transfer = nullptr;
  TransferEx transfer_ex = nullptr;
};
Transport g_board, g_spy, g_floor, g_current;
uint64_t g_exchanges = 0;  // transport calls made, all ways

// The floor: the spy's records of one pass, one O_APPEND write each after the board's answer.
std::vector<std::string> g_records;
size_t g_next_record = 0;
int g_floor_fd = -1;
bool g_floor_ok = true;

void AppendRecord() {
  if (g_records.empty()) return;
  const std::string &line = g_records[g_next_record++ % g_records.size()];
  if (write(g_floor_fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) g_floor_ok = false;
}

uint32_t KLIA_CALL FloorTransfer(uint8_t command, uint8_t param_length, const void *param, uint8_t out_length,
                                 const void *out, uint8_t in_length, void *in, uint8_t *status, uint8_t *aux) {
  const uint32_t result = g_board.transfer(command, param_length, param, out_length, out, in_length, in, status, aux);
  AppendRecord();
  return result;
}
uint32_t KLIA_CALL FloorTransferEx(uint8_t command, uint8_t param_length, const void *param, uint16_t out_length,
                                   const void *out, uint16_t in_length, void *in, uint8_t *status, uint8_t *aux) {
  const uint32_t result =
      g_board.transfer_ex(command, param_length, param, out_length, out, in_length, in, status, aux);
  AppendRecord();
  return result;
}

constexpr uint16_t kPageSize = 512;
constexpr uint16_t kPages = 600;
constexpr uint16_t kUsers = 32;
constexpr uint16_t kChunk = (65535 / kPageSize) * kPageSize;
constexpr uint32_t kAreaBytes = static_cast<uint32_t>(kPageSize) * kPages;
uint8_t g_area[kAreaBytes];

std::string g_trace_path;
std::string g_floor_path;
std::string g_image_path;

bool Load(const char *path, Transport &transport) {
  void *handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return false;
  transport.transfer = reinterpret_cast<Transfer>(dlsym(handle, "HwTransfer"));
  transport.transfer_ex = reinterpret_cast<TransferEx>(dlsym(handle, "HwTransferEx"));
  return transport.transfer != nullptr && transport.transfer_ex != nullptr;
}

// The spy keeps its trace open for the whole run, and so does the floor: both files go at exit.
void RemoveFiles() {
  std::remove(g_trace_path.c_str());
  std::remove(g_floor_path.c_str());
}

// Loads the transports once: the board as linked, the spy in front of that same file, and
// opens the floor's file.
bool Setup() {
  static const bool ok = [] {
    g_trace_path = "/tmp/spy_bench_" + std::to_string(getpid()) + ".jsonl";
    g_floor_path = "/tmp/spy_bench_" + std::to_string(getpid()) + "-floor.jsonl";
    // As the spy opens its trace.
    g_floor_fd = open(g_floor_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
    g_floor = {FloorTransfer, FloorTransferEx};
    std::atexit(RemoveFiles);
    setenv("HWLINK_SPY_TARGET", VBOARD_LIBRARY, 1);
    setenv("HWLINK_SPY_TRACE", g_trace_path.c_str(), 1);
    unsetenv("HWLINK_SPY_SECRETS");
    unsetenv("HWLINK_SPY_REPLAY");
    unsetenv("HWLINK_SPY_GUARD");  // the writes must reach the board
    return g_floor_fd >= 0 && Load(VBOARD_LIBRARY, g_board) && Load(SPY_LIBRARY, g_spy);
  }();
  g_current = g_board;
  return ok;
}

bool Stream() {
  uint16_t done = 0;
  for (uint32_t at = 0; at < kAreaBytes; at += kChunk) {
    const auto n = static_cast<uint16_t>(at + kChunk <= kAreaBytes ? kChunk : kAreaBytes - at);
    if ((KLIAReadDataEx(KLIA_AREA_DATA, g_area + at, static_cast<int32_t>(at), n, &done) & 0xFF) == 0) return false;
  }
  for (uint32_t at = 0; at < kAreaBytes; at += kChunk) {
    const auto n = static_cast<uint16_t>(at + kChunk <= kAreaBytes ? kChunk : kAreaBytes - at);
    if ((KLIAWriteDataEx(KLIA_AREA_DATA, g_area + at, static_cast<int32_t>(at), n, &done) & 0xFF) == 0) return false;
  }
  KLIAFlush();
  return true;
}

double ThreadNanoseconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

// One pass the same way for all: the cache holds a page outside the area first. Counts the
// exchanges of the timed part in `exchanges`.
double TimedPass(const Transport &transport, bool &ok, uint64_t &exchanges) {
  g_current = transport;
  g_next_record = 0;
  uint8_t byte;
  uint16_t done;
  KLIAReadDataEx(KLIA_AREA_CONFIG, &byte, 0, 1, &done);
  const uint64_t calls = g_exchanges;
  const double t0 = ThreadNanoseconds();
  ok &= Stream();
  const double elapsed = ThreadNanoseconds() - t0;
  exchanges = g_exchanges - calls;
  return elapsed;
}

// The spy's records of one whole pass, in order, for the floor to write.
bool CaptureRecords(bool &ok) {
  truncate(g_trace_path.c_str(), 0);
  uint64_t exchanges = 0;
  TimedPass(g_spy, ok, exchanges);
  std::ifstream file(g_trace_path, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  g_records.clear();
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find('\n', at);
    if (end == std::string::npos) break;
    g_records.push_back(text.substr(at, end + 1 - at));
    at = end + 1;
  }
  // One record per exchange, the untimed first one included.
  return g_records.size() == exchanges + 1;
}

void SpyStream(benchmark::State &state) {
  const bool image = state.range(0) != 0;
  if (!Setup()) {
    state.SkipWithError("cannot load the virtual board or the spy");
    return;
  }
  VBoardGeometry g{};
  VBoardMakeGeometry(kUsers, kPages, 16, kPageSize, &g);
  bool ok;
  if (image) {
    g_image_path = "/tmp/spy_bench_" + std::to_string(getpid()) + ".img";
    std::remove(g_image_path.c_str());
    ok = VBoardOpenImage(g_image_path.c_str(), &g) != 0;
  } else {
    ok = VBoardCreate(&g) != 0;
  }
  // Bound through the spy, so that it has seen an information block before the timing.
  g_current = g_spy;
  ok = ok && (KLIADriverPresent() & 0xFF) != 0;
  VBoardTraceEnable(0);
  if (ok && !CaptureRecords(ok)) {
    state.SkipWithError("the spy's trace does not hold one record per exchange");
    return;
  }
  double direct_ns = 0, spy_ns = 0, floor_ns = 0;
  uint64_t exchanges = 0;
  for (auto _ : state) {
    direct_ns += TimedPass(g_board, ok, exchanges);
    spy_ns += TimedPass(g_spy, ok, exchanges);
    floor_ns += TimedPass(g_floor, ok, exchanges);
    state.PauseTiming();
    truncate(g_trace_path.c_str(), 0);
    ftruncate(g_floor_fd, 0);
    state.ResumeTiming();
  }
  if (!ok || !g_floor_ok) state.SkipWithError("a transfer failed");
  const auto passes = static_cast<double>(state.iterations());
  const double per_exchange = passes * static_cast<double>(exchanges) * 1000.0;  // ns in a pass -> us an exchange
  state.counters["direct_us"] = direct_ns / passes / 1000.0;
  state.counters["spy_us"] = spy_ns / passes / 1000.0;
  state.counters["floor_us"] = floor_ns / passes / 1000.0;
  state.counters["ratio"] = spy_ns / direct_ns;
  state.counters["spy_cost_us"] = (spy_ns - direct_ns) / per_exchange;
  state.counters["floor_cost_us"] = (floor_ns - direct_ns) / per_exchange;
  state.counters["floor_ratio"] = (spy_ns - direct_ns) / (floor_ns - direct_ns);
  state.counters["exchanges"] = static_cast<double>(exchanges);
  state.SetLabel(image ? "file-backed image" : "in-memory board");
  if (image) std::remove(g_image_path.c_str());
}
BENCHMARK(SpyStream)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The record of one whole-page read (512 bytes in), put together as the spy does: into a
// string whose storage is kept from record to record.
void SpyRecord(benchmark::State &state) {
  static uint8_t page[kPageSize];
  for (size_t i = 0; i < sizeof page; ++i) page[i] = static_cast<uint8_t>(i * 7);
  const uint8_t block[6] = {0x2C, 0x01, 0, 0, kPageSize & 0xFF, kPageSize >> 8};
  hwtrace::ExchangeView x;
  x.pid = 4711;
  x.entry = hwtrace::kEntryTransferEx;
  x.command = 21;
  x.param_length = 6;
  x.param = {hwtrace::Block::Kind::kBytes, 6, block};
  x.out = {hwtrace::Block::Kind::kBytes, 0, nullptr};
  x.in_length = kPageSize;
  x.in = {hwtrace::Block::Kind::kBytes, kPageSize, page};
  x.status = 0;
  x.aux = 0;
  x.result = 1;
  std::string line;
  const double t0 = ThreadNanoseconds();
  for (auto _ : state) {
    ++x.seq;
    x.start_us = 1765375200000000 + x.seq;
    line.clear();
    hwtrace::AppendExchange(line, x);
    benchmark::DoNotOptimize(line.data());
  }
  state.counters["record_us"] = (ThreadNanoseconds() - t0) / static_cast<double>(state.iterations()) / 1000.0;
  state.counters["bytes"] = static_cast<double>(line.size());
}
BENCHMARK(SpyRecord);

}  // namespace

// The library's transport: whichever the benchmark chose.
extern "C" {
uint32_t KLIA_CALL HwTransfer(uint8_t command, uint8_t param_length, const void *param, uint8_t out_length,
                              const void *out, uint8_t in_length, void *in, uint8_t *status, uint8_t *aux) {
  ++g_exchanges;
  return g_current.transfer(command, param_length, param, out_length, out, in_length, in, status, aux);
}
uint32_t KLIA_CALL HwTransferEx(uint8_t command, uint8_t param_length, const void *param, uint16_t out_length,
                                const void *out, uint16_t in_length, void *in, uint8_t *status, uint8_t *aux) {
  ++g_exchanges;
  return g_current.transfer_ex(command, param_length, param, out_length, out, in_length, in, status, aux);
}
}

BENCHMARK_MAIN();
