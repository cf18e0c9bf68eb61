// klia compare's judgement of two sessions exchange by exchange, and its report.
#include "proof/compare_report.h"

#include <algorithm>

#include "trace_decode.h"

namespace klia {

using hwtrace::Exchange;
using hwtrace::Trace;

namespace {

constexpr size_t kContext = 3;  // exchanges shown on each side of the first difference
constexpr uint8_t kClockCommand = 28;

std::string Lines(const Trace &t, size_t from, size_t to, const char *mark) {
  hwtrace::UserPages pages;
  for (size_t i = 0; i < from && i < t.exchanges.size(); ++i) pages.Learn(t.exchanges[i]);
  std::string text;
  for (size_t i = from; i < to && i < t.exchanges.size(); ++i) {
    text += std::string("  ") + mark + " #" + std::to_string(i + 1) + "  " + hwtrace::Describe(t.exchanges[i], pages) +
            "\n";
    pages.Learn(t.exchanges[i]);
  }
  return text;
}

}  // namespace

Verdict Judge(const Trace &a, const Trace &b) {
  Verdict v;
  const size_t n = std::min(a.exchanges.size(), b.exchanges.size());
  for (; v.at < n; ++v.at) {
    const Exchange &x = a.exchanges[v.at];
    const Exchange &y = b.exchanges[v.at];
    if (!hwtrace::SameRequest(x, y)) break;
    if (hwtrace::SameAnswer(x, y)) continue;
    if (x.command == kClockCommand && x.param_length == 0 && x.result == y.result && x.status == y.status) {
      ++v.clock_moved;
    } else if (v.answers_differ++ == 0) {
      v.first_answer = v.at;
    }
  }
  v.same = v.at == a.exchanges.size() && v.at == b.exchanges.size();
  return v;
}

std::string DescribeAt(const Trace &t, size_t k) {
  hwtrace::UserPages pages;
  for (size_t i = 0; i < k; ++i) pages.Learn(t.exchanges[i]);
  return hwtrace::Describe(t.exchanges[k], pages);
}

std::string CompareReport(const ComparedRuns &runs, const Trace &a, const Trace &b, const Verdict &v) {
  std::string text = "old library: " + runs.old_library + " (" + std::to_string(a.exchanges.size()) +
                     " exchanges, trace " + runs.old_trace + ")\n" + "new library: " + runs.new_library + " (" +
                     std::to_string(b.exchanges.size()) + " exchanges, trace " + runs.new_trace + ")\n";
  std::string notes;
  if (v.answers_differ != 0) {
    const size_t j = v.first_answer;
    notes += "the board answered " + std::to_string(v.answers_differ) +
             " of the same requests differently, first at exchange " + std::to_string(j + 1) + " (" +
             hwtrace::Differences(a.exchanges[j], b.exchanges[j]) +
             "): it changed between the runs (was it in use?); run the comparison again while nobody uses it\n";
  }
  if (v.clock_moved != 0) notes += "(the board's clock moved on between the runs: its answer is set aside)\n";
  if (v.same) {
    return text + "the same: both libraries sent the same " + std::to_string(a.exchanges.size()) + " requests" +
           (v.answers_differ == 0 ? " and the board answered them alike\n" : "\n") + notes;
  }
  const size_t k = v.at;
  text += "they differ at exchange " + std::to_string(k + 1) + ":\n";
  if (k < a.exchanges.size() && k < b.exchanges.size()) {
    text += "  old sent: " + DescribeAt(a, k) + "\n";
    text += "  new sent: " + DescribeAt(b, k) + "\n";
    text += "  " + hwtrace::Differences(a.exchanges[k], b.exchanges[k]) + "\n";
  } else if (k >= a.exchanges.size()) {
    text += "  the old library's session ends there; the new one goes on\n";
  } else {
    text += "  the new library's session ends there; the old one goes on\n";
  }
  text += "\nbefore it, the same in both:\n";
  text += k == 0 ? "  (nothing: the sessions differ from the first exchange)\n"
                 : Lines(a, k > kContext ? k - kContext : 0, k, "=");
  text += "from there, old:\n" + (k < a.exchanges.size() ? Lines(a, k, k + kContext + 1, "O") : "  (no more)\n");
  text += "from there, new:\n" + (k < b.exchanges.size() ? Lines(b, k, k + kContext + 1, "N") : "  (no more)\n");
  if (v.answers_differ != 0)
    notes = "the difference may follow from the board's answer rather than the libraries: " + notes;
  return text + notes;
}

}  // namespace klia
