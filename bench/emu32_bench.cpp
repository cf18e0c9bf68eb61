// The cost of a call through the emu32 road (the 32-bit mviahlp.dll under the CPU emulator,
// tests/emu32) beside the same call to the native library: built twice from this file, linked
// to the emulated face (emu32_bench) and to the native library (emu32_bench_native). Not a
// test; docs/PERFORMANCE.md gives the figures.
//
//   cached read: KLIAReadDataEx of 1 byte inside the cached page of area 2 (no board command)
//   page load:   KLIAReadDataEx of 1 byte of another page each time (one 21 of 256 bytes)
#include <benchmark/benchmark.h>

#include <cstdint>

#include "mviahlp.h"
#include "vboard.h"

namespace {

bool FreshBoundBoard() {
  VBoardGeometry geometry{};
  VBoardMakeGeometry(32, 200, 16, 256, &geometry);
  if (!VBoardCreate(&geometry)) return false;
  VBoardTraceEnable(0);
  return (KLIADriverPresent() & 0xFF) != 0;
}

void CachedRead(benchmark::State &state) {
  if (!FreshBoundBoard()) state.SkipWithError("no board");
  uint8_t byte = 0;
  uint16_t done = 0;
  KLIAReadDataEx(KLIA_AREA_DATA, &byte, 0, 1, &done);  // the page is cached from here on
  for (auto _ : state) {
    KLIAReadDataEx(KLIA_AREA_DATA, &byte, 100, 1, &done);
    benchmark::DoNotOptimize(byte);
  }
}
BENCHMARK(CachedRead);

void PageLoad(benchmark::State &state) {
  if (!FreshBoundBoard()) state.SkipWithError("no board");
  uint8_t byte = 0;
  uint16_t done = 0;
  int32_t page = 0;
  for (auto _ : state) {
    KLIAReadDataEx(KLIA_AREA_DATA, &byte, page * 256 + 7, 1, &done);
    page = (page + 1) % 200;
    benchmark::DoNotOptimize(byte);
  }
}
BENCHMARK(PageLoad);

}  // namespace

BENCHMARK_MAIN();
