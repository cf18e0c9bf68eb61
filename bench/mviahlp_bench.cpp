// mviahlp_bench: times the library against the virtual board (Google Benchmark). The board's
// trace is off while timing; where a benchmark reports commands it counts them in an untimed
// pass with the trace on.
//
//   CachedRead/N, CachedWrite/N   N-byte accesses inside one cached page of data area 2
//   StreamRead/<board>            all of data area 2 through KLIAReadDataEx against a raw loop
//   StreamWrite/<board>           of the same page transfers through HwTransferEx, in one run;
//                                 counter `ratio` = library time / raw time. <board> 0 is the
//                                 in-memory board, 1 a file-backed image (VBoardOpenImage)
//   FormatDatabase                KLIAFormatDatabase on a board of 3104 pages
//   RandomWrites/<way>            4-byte writes with locality: 0 through the cache, 1 one
//                                 page read-modify-write per write, 2 one direct 4-byte write
//                                 per write; counters: commands and link bytes per write
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "board/hwlink.h"
#include "mviahlp.h"
#include "vboard.h"

namespace {

VBoardGeometry Geometry(uint16_t users, uint16_t data_pages, uint16_t log_pages, uint16_t page_size) {
  VBoardGeometry g{};
  VBoardMakeGeometry(users, data_pages, log_pages, page_size, &g);
  return g;
}

// Writes any modified cached page to the board being left, then serves `g` (in memory, or
// as a fresh image file when `image` is set), binds, and turns the trace off.
std::string g_image_path;
bool Serve(const VBoardGeometry &g, bool image) {
  KLIAFlush();
  bool ok;
  if (image) {
    if (g_image_path.empty()) g_image_path = "/tmp/mviahlp_bench_" + std::to_string(getpid()) + ".img";
    std::remove(g_image_path.c_str());
    ok = VBoardOpenImage(g_image_path.c_str(), &g) != 0;
  } else {
    ok = VBoardCreate(&g) != 0;
  }
  ok = ok && (KLIADriverPresent() & 0xFF) != 0;
  VBoardTraceEnable(0);
  return ok;
}

void RemoveImage() {
  if (!g_image_path.empty()) std::remove(g_image_path.c_str());
}

// Commands and link bytes (parameter + outgoing + incoming) in the trace.
struct Traffic {
  double commands = 0;
  double bytes = 0;
};
Traffic TraceTraffic() {
  Traffic t;
  for (uint32_t i = 0; i < VBoardTraceCount(); ++i) {
    VBoardTraceEntry e{};
    VBoardTraceGet(i, &e);
    t.commands += 1;
    t.bytes += e.param_length + e.out_length + e.in_length;
  }
  return t;
}

// ---- Cached small accesses ------------------------------------------------------------

void CachedRead(benchmark::State &state) {
  const auto n = static_cast<uint16_t>(state.range(0));
  if (!Serve(Geometry(32, 200, 16, 256), false)) state.SkipWithError("no board");
  uint8_t buffer[16];
  uint16_t done = 0;
  KLIAReadDataEx(KLIA_AREA_DATA, buffer, 0, 1, &done);  // the page is cached from here on
  for (auto _ : state) {
    KLIAReadDataEx(KLIA_AREA_DATA, buffer, 100, n, &done);
    benchmark::DoNotOptimize(buffer);
  }
}
BENCHMARK(CachedRead)->Arg(1)->Arg(4)->Arg(16);

void CachedWrite(benchmark::State &state) {
  const auto n = static_cast<uint16_t>(state.range(0));
  if (!Serve(Geometry(32, 200, 16, 256), false)) state.SkipWithError("no board");
  uint8_t buffer[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  uint16_t done = 0;
  KLIAReadDataEx(KLIA_AREA_DATA, buffer, 0, 1, &done);
  for (auto _ : state) {
    KLIAWriteDataEx(KLIA_AREA_DATA, buffer, 100, n, &done);
    benchmark::ClobberMemory();
  }
  KLIAFlush();
}
BENCHMARK(CachedWrite)->Arg(1)->Arg(4)->Arg(16);

// ---- Streaming data area 2 -------------------------------------------------------------

constexpr uint16_t kStreamPageSize = 512;
constexpr uint16_t kStreamPages = 600;
constexpr uint16_t kStreamUsers = 32;
constexpr uint32_t kFirstDataPage = kStreamUsers + 8;
// The largest whole number of pages one call can carry (16-bit count).
constexpr uint16_t kChunk = (65535 / kStreamPageSize) * kStreamPageSize;
constexpr uint32_t kAreaBytes = static_cast<uint32_t>(kStreamPageSize) * kStreamPages;

uint8_t g_stream[kAreaBytes];

bool RawTransfer(uint8_t command, uint32_t page, uint8_t *data, bool outgoing) {
  uint8_t param[6] = {static_cast<uint8_t>(page), static_cast<uint8_t>(page >> 8), 0, 0,
                      static_cast<uint8_t>(kStreamPageSize), static_cast<uint8_t>(kStreamPageSize >> 8)};
  uint8_t status = 0xFF, aux = 0;
  const uint32_t ok = HwTransferEx(command, sizeof param, param, outgoing ? kStreamPageSize : 0,
                                   outgoing ? data : nullptr, outgoing ? 0 : kStreamPageSize,
                                   outgoing ? nullptr : data, &status, &aux);
  return (ok & 0xFF) != 0 && status == 0;
}

bool LibraryRead() {
  uint16_t done = 0;
  for (uint32_t at = 0; at < kAreaBytes; at += kChunk) {
    const auto n = static_cast<uint16_t>(at + kChunk <= kAreaBytes ? kChunk : kAreaBytes - at);
    if ((KLIAReadDataEx(KLIA_AREA_DATA, g_stream + at, static_cast<int32_t>(at), n, &done) & 0xFF) == 0) return false;
  }
  return true;
}

bool LibraryWrite() {
  uint16_t done = 0;
  for (uint32_t at = 0; at < kAreaBytes; at += kChunk) {
    const auto n = static_cast<uint16_t>(at + kChunk <= kAreaBytes ? kChunk : kAreaBytes - at);
    if ((KLIAWriteDataEx(KLIA_AREA_DATA, g_stream + at, static_cast<int32_t>(at), n, &done) & 0xFF) == 0)
      return false;
  }
  KLIAFlush();
  return true;
}

// The library's traffic for a read: one 21 per page. Here straight into the caller's buffer.
bool RawRead() {
  for (uint32_t p = 0; p < kStreamPages; ++p)
    if (!RawTransfer(21, kFirstDataPage + p, g_stream + p * kStreamPageSize, false)) return false;
  return true;
}

// The library's traffic for a write: each page loaded (21) and written back (22). The raw
// loop loads into a page buffer, overlays the caller's bytes and writes it back.
bool RawWrite() {
  static uint8_t page[kStreamPageSize];
  for (uint32_t p = 0; p < kStreamPages; ++p) {
    if (!RawTransfer(21, kFirstDataPage + p, page, false)) return false;
    std::memcpy(page, g_stream + p * kStreamPageSize, kStreamPageSize);
    if (!RawTransfer(22, kFirstDataPage + p, page, true)) return false;
  }
  return true;
}

double ThreadNanoseconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

template <bool (*Library)(), bool (*Raw)()>
void Stream(benchmark::State &state) {
  const bool image = state.range(0) != 0;
  if (!Serve(Geometry(kStreamUsers, kStreamPages, 16, kStreamPageSize), image)) {
    state.SkipWithError("no board");
    return;
  }
  // Thread CPU time: the machine may be shared, and both loops run on this thread alone.
  double library_ns = 0, raw_ns = 0;
  bool ok = true;
  for (auto _ : state) {
    // The cache holds a page outside the area, so that every pass starts the same way.
    uint8_t byte;
    uint16_t done;
    KLIAReadDataEx(KLIA_AREA_CONFIG, &byte, 0, 1, &done);
    const double t0 = ThreadNanoseconds();
    ok &= Library();
    const double t1 = ThreadNanoseconds();
    ok &= Raw();
    const double t2 = ThreadNanoseconds();
    library_ns += t1 - t0;
    raw_ns += t2 - t1;
  }
  if (!ok) state.SkipWithError("a transfer failed");
  const auto passes = static_cast<double>(state.iterations());
  state.counters["library_us"] = library_ns / passes / 1000.0;
  state.counters["raw_us"] = raw_ns / passes / 1000.0;
  state.counters["ratio"] = library_ns / raw_ns;
  state.counters["pages"] = kStreamPages;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kAreaBytes * 2);
  state.SetLabel(image ? "file-backed image" : "in-memory board");
  if (image) RemoveImage();
}
BENCHMARK_TEMPLATE(Stream, LibraryRead, RawRead)->Name("StreamRead")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(Stream, LibraryWrite, RawWrite)->Name("StreamWrite")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// ---- Formatting --------------------------------------------------------------------------

void FormatDatabase(benchmark::State &state) {
  const VBoardGeometry g = Geometry(32, 3000, 64, 256);  // pages 0-3103
  if (!Serve(g, false)) state.SkipWithError("no board");
  for (auto _ : state) {
    if ((KLIAFormatDatabase(0x1234, nullptr) & 0xFF) == 0) state.SkipWithError("format failed");
  }
  state.counters["pages"] = g.page_count;
}
BENCHMARK(FormatDatabase)->Unit(benchmark::kMillisecond);

// ---- Random small writes with locality ---------------------------------------------------

constexpr uint32_t kWrites = 4096;
constexpr uint16_t kRandomPageSize = 256;
constexpr uint16_t kRandomPages = 200;

// Offsets in data area 2: a run of writes stays in its page with probability 7/8, else it
// jumps to a random page. 4-byte aligned, so no write crosses a page.
std::vector<uint32_t> LocalOffsets() {
  std::mt19937 random(12345);
  std::vector<uint32_t> offsets;
  uint32_t page = 0;
  for (uint32_t i = 0; i < kWrites; ++i) {
    if (random() % 8 == 0) page = random() % kRandomPages;
    offsets.push_back(page * kRandomPageSize + (random() % (kRandomPageSize / 4)) * 4);
  }
  return offsets;
}

void ThroughCache(const std::vector<uint32_t> &offsets) {
  uint16_t done = 0;
  for (uint32_t i = 0; i < offsets.size(); ++i)
    KLIAWriteDataEx(KLIA_AREA_DATA, &i, static_cast<int32_t>(offsets[i]), 4, &done);
  KLIAFlush();
}

void PageReadModifyWrite(const std::vector<uint32_t> &offsets) {
  uint8_t page_buffer[kRandomPageSize];
  for (uint32_t i = 0; i < offsets.size(); ++i) {
    const uint32_t page = 40 + offsets[i] / kRandomPageSize, at = offsets[i] % kRandomPageSize;
    uint8_t param[6] = {static_cast<uint8_t>(page), static_cast<uint8_t>(page >> 8), 0, 0,
                        static_cast<uint8_t>(kRandomPageSize), static_cast<uint8_t>(kRandomPageSize >> 8)};
    uint8_t status = 0, aux = 0;
    HwTransferEx(21, 6, param, 0, nullptr, kRandomPageSize, page_buffer, &status, &aux);
    std::memcpy(page_buffer + at, &i, 4);
    HwTransferEx(22, 6, param, kRandomPageSize, page_buffer, 0, nullptr, &status, &aux);
  }
}

void DirectWrites(const std::vector<uint32_t> &offsets) {
  for (uint32_t i = 0; i < offsets.size(); ++i) {
    const uint32_t page = 40 + offsets[i] / kRandomPageSize, at = offsets[i] % kRandomPageSize;
    uint8_t param[6] = {static_cast<uint8_t>(page), static_cast<uint8_t>(page >> 8), static_cast<uint8_t>(at),
                        static_cast<uint8_t>(at >> 8), 4, 0};
    uint8_t status = 0, aux = 0;
    HwTransferEx(22, 6, param, 4, &i, 0, nullptr, &status, &aux);
  }
}

void RandomWrites(benchmark::State &state) {
  static const std::vector<uint32_t> offsets = LocalOffsets();
  void (*const ways[])(const std::vector<uint32_t> &) = {ThroughCache, PageReadModifyWrite, DirectWrites};
  const char *const labels[] = {"through the cache", "page read-modify-write per write", "direct 4-byte write"};
  const auto way = ways[state.range(0)];
  if (!Serve(Geometry(32, kRandomPages, 16, kRandomPageSize), false)) state.SkipWithError("no board");

  // One untimed pass with the trace on, for the commands.
  VBoardTraceEnable(1);
  VBoardTraceClear();
  way(offsets);
  const Traffic t = TraceTraffic();
  VBoardTraceClear();
  VBoardTraceEnable(0);

  for (auto _ : state) way(offsets);
  state.counters["commands_per_write"] = t.commands / kWrites;
  state.counters["bytes_per_write"] = t.bytes / kWrites;
  state.counters["ns_per_write"] =
      benchmark::Counter(static_cast<double>(kWrites), benchmark::Counter::kIsIterationInvariantRate |
                                                           benchmark::Counter::kInvert);
  state.SetLabel(labels[state.range(0)]);
}
BENCHMARK(RandomWrites)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
