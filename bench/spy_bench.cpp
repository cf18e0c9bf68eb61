// spy_bench: what the transport spy costs. The library streams data area 2 (600 pages of 512
// bytes: read all of it, then write all of it back) once straight to the virtual board and
// once through the spy in front of the same board, in one run; counter `ratio` = time
// through the spy / time without it.
//
//   SpyStream/0   the in-memory board (the board's own work is a memcpy: the spy's cost stands
//                 out as much as it can)
//   SpyStream/1   a file-backed image (every exchange touches a file, as every exchange on a
//                 real link takes its time): the target is a ratio of at most 1.10
//
// The library is the library's own objects, linked here; its transport entry points are the
// two below, which call either the virtual board's or the spy's (loaded with dlopen, its
// target the same virtual board). Both ways pay the same indirect call. The spy writes its
// trace to a temporary file, emptied between passes outside the timing; the page data is
// recorded in full (the area's pages hold no user records).
#include <benchmark/benchmark.h>

#include <dlfcn.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "board/hwlink.h"
#include "mviahlp.h"
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
Transport g_board, g_spy, g_current;

constexpr uint16_t kPageSize = 512;
constexpr uint16_t kPages = 600;
constexpr uint16_t kUsers = 32;
constexpr uint16_t kChunk = (65535 / kPageSize) * kPageSize;
constexpr uint32_t kAreaBytes = static_cast<uint32_t>(kPageSize) * kPages;
uint8_t g_area[kAreaBytes];

std::string g_trace_path;
std::string g_image_path;

bool Load(const char *path, Transport &transport) {
  void *handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return false;
  transport.transfer = reinterpret_cast<Transfer>(dlsym(handle, "HwTransfer"));
  transport.transfer_ex = reinterpret_cast<TransferEx>(dlsym(handle, "HwTransferEx"));
  return transport.transfer != nullptr && transport.transfer_ex != nullptr;
}

// Loads both transports once: the board as linked, the spy in front of that same file.
bool Setup() {
  static const bool ok = [] {
    g_trace_path = "/tmp/spy_bench_" + std::to_string(getpid()) + ".jsonl";
    setenv("HWLINK_SPY_TARGET", VBOARD_LIBRARY, 1);
    setenv("HWLINK_SPY_TRACE", g_trace_path.c_str(), 1);
    unsetenv("HWLINK_SPY_SECRETS");
    unsetenv("HWLINK_SPY_REPLAY");
    return Load(VBOARD_LIBRARY, g_board) && Load(SPY_LIBRARY, g_spy);
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

// One pass the same way for both: the cache holds a page outside the area first.
double TimedPass(const Transport &transport, bool &ok) {
  g_current = transport;
  uint8_t byte;
  uint16_t done;
  KLIAReadDataEx(KLIA_AREA_CONFIG, &byte, 0, 1, &done);
  const double t0 = ThreadNanoseconds();
  ok &= Stream();
  return ThreadNanoseconds() - t0;
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
  double direct_ns = 0, spy_ns = 0;
  for (auto _ : state) {
    direct_ns += TimedPass(g_board, ok);
    spy_ns += TimedPass(g_spy, ok);
    state.PauseTiming();
    truncate(g_trace_path.c_str(), 0);
    state.ResumeTiming();
  }
  if (!ok) state.SkipWithError("a transfer failed");
  const auto passes = static_cast<double>(state.iterations());
  state.counters["direct_us"] = direct_ns / passes / 1000.0;
  state.counters["spy_us"] = spy_ns / passes / 1000.0;
  state.counters["ratio"] = spy_ns / direct_ns;
  state.counters["exchanges"] = kPages * 3;
  state.SetLabel(image ? "file-backed image" : "in-memory board");
  if (image) std::remove(g_image_path.c_str());
  std::remove(g_trace_path.c_str());
}
BENCHMARK(SpyStream)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

// The library's transport: whichever the benchmark chose.
extern "C" {
uint32_t KLIA_CALL HwTransfer(uint8_t command, uint8_t param_length, const void *param, uint8_t out_length,
                              const void *out, uint8_t in_length, void *in, uint8_t *status, uint8_t *aux) {
  return g_current.transfer(command, param_length, param, out_length, out, in_length, in, status, aux);
}
uint32_t KLIA_CALL HwTransferEx(uint8_t command, uint8_t param_length, const void *param, uint16_t out_length,
                                const void *out, uint16_t in_length, void *in, uint8_t *status, uint8_t *aux) {
  return g_current.transfer_ex(command, param_length, param, out_length, out, in_length, in, status, aux);
}
}

BENCHMARK_MAIN();
