// klia compare's judgement of two probe sessions and its report: the libraries are judged by
// the requests they send; the answers are the board's.
#pragma once

#include <cstddef>
#include <string>

#include "trace_format.h"

namespace klia {

// What the libraries sent is theirs; what the board answered is the board's. The sessions are
// the same when every request is; an answer that differs (the clock's always may) is the board
// changing between the runs, and is reported beside the verdict.
struct Verdict {
  bool same = false;          // the same requests, as many
  size_t at = 0;              // index of the first request that differs
  size_t answers_differ = 0;  // answers other than the clock's that differ, before `at`
  size_t first_answer = 0;    // index of the first of them
  size_t clock_moved = 0;     // clock reads whose answers differ
};

Verdict Judge(const hwtrace::Trace &a, const hwtrace::Trace &b);

// Exchange k (from 0) in words, its user pages named from what the trace showed before it.
std::string DescribeAt(const hwtrace::Trace &t, size_t k);

// The libraries and the file names of their traces, as the report names them.
struct ComparedRuns {
  std::string old_library, old_trace, new_library, new_trace;
};
// The verdict in lines for a person: the first difference with the exchanges around it, and
// what the board answered differently.
std::string CompareReport(const ComparedRuns &runs, const hwtrace::Trace &a, const hwtrace::Trace &b, const Verdict &v);

}  // namespace klia
