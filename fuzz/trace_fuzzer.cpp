// Hostile traces: the input is the text of a board trace file, as a person might hand over
// one (cut short, edited by hand, another file altogether). The reader must refuse it with
// a TraceError or read it; what it reads must decode in words, and write and read back as the
// same exchanges.
//
// What must hold for every input: no memory error, no undefined behaviour (ASan/UBSan), no
// exception but TraceError, and the round trip of every exchange read.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "trace_decode.h"
#include "trace_format.h"

namespace {

void Fail(const char *what) {
  std::fprintf(stderr, "trace_fuzzer: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string_view text(reinterpret_cast<const char *>(data), size);
  hwtrace::Trace trace;
  try {
    trace = hwtrace::ParseTrace(text);
  } catch (const hwtrace::TraceError &) {
    return 0;  // refused with a reason: what a person sees with exit 2
  }
  hwtrace::UserPages pages;
  std::string rewritten = hwtrace::EncodeHeader(trace.headers.front());
  for (const hwtrace::Exchange &x : trace.exchanges) {
    pages.Learn(x);
    if (hwtrace::Describe(x, pages).empty()) Fail("an exchange without words");
    rewritten += hwtrace::EncodeExchange(x);
  }
  for (const hwtrace::Note &note : trace.notes) rewritten += hwtrace::EncodeNote(note);
  hwtrace::Trace again;
  try {
    again = hwtrace::ParseTrace(rewritten);
  } catch (const hwtrace::TraceError &e) {
    std::fprintf(stderr, "%s\n", e.what());
    Fail("a trace written from what was read is refused");
  }
  if (again.exchanges.size() != trace.exchanges.size()) Fail("exchanges lost in the round trip");
  for (size_t i = 0; i < trace.exchanges.size(); ++i) {
    const hwtrace::Exchange &a = trace.exchanges[i];
    const hwtrace::Exchange &b = again.exchanges[i];
    if (!hwtrace::SameExchange(a, b) || a.seq != b.seq || a.pid != b.pid || a.start_us != b.start_us ||
        a.duration_us != b.duration_us || a.param.kind != b.param.kind || a.out.kind != b.out.kind ||
        a.in.kind != b.in.kind) {
      Fail("an exchange changed in the round trip");
    }
  }
  return 0;
}
