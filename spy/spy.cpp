// The spy transport: HwTransfer (1000) and HwTransferEx (1002) in front of the real
// transport. Each call is forwarded first, unchanged (same arguments, same buffer addresses,
// same result), and recorded second, as one line appended to the trace.
//
// Nothing the spy does may change what the caller or the board sees, and its own failures
// stay its own: a trace that cannot be written is reported once and the calls go on; a real
// transport that cannot be loaded makes every call answer "no exchange" (false), as a
// missing board would.
//
// With the read-only guard (HWLINK_SPY_GUARD=read-only, or guard = read-only in the
// configuration file, or a configuration file the spy cannot read whole) only the board
// commands that read are forwarded (IsBoardRead); every other call is answered "no exchange",
// exactly as a missing board would answer it (nothing is written to the caller's buffers,
// status or aux byte), and recorded as guarded. HwSpyGuard and HwSpyGuardedCalls tell a
// caller (klia) whether the guard is on and how many calls it kept from the board.
//
// The trace is written only into a trace: a new file, an empty one, or one that begins with
// a trace header (AppendFile::OpenTrace); never through a symbolic link, never into a board
// image or a library named by mistake.
//
// In replay mode (HWLINK_SPY_REPLAY) no transport is loaded: the calls are answered from a
// recorded trace, exchange by exchange, and the first call that differs from the recording
// gets "no exchange", as does every call after it. No board is reached, so the guard has
// nothing to keep from one: a recorded guarded call is answered as recorded.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "spy_config.h"
#include "spy_platform.h"
#include "trace_decode.h"
#include "trace_file.h"
#include "trace_format.h"

#ifndef SPY_VERSION
#define SPY_VERSION "0"
#endif

namespace spy {
namespace {

using hwtrace::Block;
using hwtrace::Exchange;

const char kWriter[] = "hwlink-spy " SPY_VERSION;

// One transport call as it reaches the spy.
struct Call {
  uint16_t entry;
  uint8_t command;
  uint8_t param_length;
  const void *param;
  uint16_t out_length;
  const void *out;
  uint16_t in_length;
  void *in;
  uint8_t *status;
  uint8_t *aux;
};

// A block handed to the transport, for the trace: its bytes (not copied), nothing for a null
// address with a nonzero length, or the length alone when it is withheld.
hwtrace::BlockView CallView(const void *address, uint32_t length, bool withhold) {
  using Kind = Block::Kind;
  if (length == 0) return {Kind::kBytes, 0, nullptr};
  if (address == nullptr) return {};
  if (withhold) return {Kind::kRedacted, length, nullptr};
  return {Kind::kBytes, length, static_cast<const uint8_t *>(address)};
}

class Spy {
 public:
  // Never destroyed: the library flushes its page cache from its own unload handler, which
  // may run after this library's static objects would have been destroyed.
  static Spy &Instance() {
    static Spy &spy = *new Spy;
    return spy;
  }

  // Called when the library is loaded: settle the settings and say that a spy is active.
  void Announce() noexcept {
    try {
      std::lock_guard<std::mutex> lock(mutex_);
      Settle();
    } catch (...) {
      // Out of memory while loading: the first call settles again.
      settled_ = false;
    }
  }

  // 1 when the read-only guard is on in this process. In replay, what the recording's header
  // says for the session being served: its guarded calls are answered as guarded.
  uint32_t Guard() noexcept {
    try {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        Settle();
        if (settings_.replay.empty()) return guard_.load(std::memory_order_acquire) ? 1 : 0;
      }
      if (!Ready()) return 0;  // no recording: every call answers "no exchange", none as guarded
      std::lock_guard<std::mutex> lock(mutex_);
      return RecordedGuardLocked() ? 1 : 0;
    } catch (...) {
      return 1;  // the settings could not be settled (out of memory): no call reaches the board
    }
  }

  uint32_t GuardedCalls() const noexcept { return guarded_calls_.load(std::memory_order_relaxed); }

  uint32_t Transfer(const Call &call) noexcept {
    bool ready = false;
    try {
      ready = Ready();
    } catch (...) {
    }
    uint32_t result = 0;
    bool guarded = false;
    const uint64_t start = hwtrace::WallClockMicros();
    const uint64_t begun = hwtrace::MonotonicMicros();
    if (ready && replay_) {
      result = Serve(call, guarded);
    } else if (guard_.load(std::memory_order_acquire) &&
               !hwtrace::IsBoardRead(call.entry, call.command, call.param_length,
                                     static_cast<const uint8_t *>(call.param), call.out_length, call.in_length)) {
      guarded = true;  // not sent: "no exchange", nothing written for the caller
    } else if (ready) {
      result = call.entry == hwtrace::kEntryTransfer
                   ? target_.transfer(call.command, call.param_length, call.param, static_cast<uint8_t>(call.out_length),
                                      call.out, static_cast<uint8_t>(call.in_length), call.in, call.status, call.aux)
                   : target_.transfer_ex(call.command, call.param_length, call.param, call.out_length, call.out,
                                         call.in_length, call.in, call.status, call.aux);
    }
    const uint64_t duration = hwtrace::MonotonicMicros() - begun;
    if (guarded) guarded_calls_.fetch_add(1, std::memory_order_relaxed);
    Record(call, result, guarded, start, duration);
    return result;
  }

 private:
  Spy() = default;

  // The settings and the announcement, once. Called with the mutex held. Settled only when
  // the settings are whole: a failure on the way (out of memory) leaves the next call to try
  // again, never the defaults with the guard off.
  void Settle() {
    if (settled_) return;
    const std::string folder = SpyFolder();
    settings_ = ResolveSettings([](const char *name) { return std::getenv(name); }, ReadConfigFile(folder), folder);
    pid_ = hwtrace::ProcessId();
    std::string line = "hwlink spy: active in process " + std::to_string(pid_) + ": ";
    if (!settings_.replay.empty()) {
      line += "replaying " + settings_.replay;
    } else {
      line += "forwarding to " + settings_.target + " (" + settings_.target_origin + ")";
    }
    line += settings_.trace.empty() ? ", no trace" : ", trace in " + settings_.trace;
    if (settings_.read_only) {
      line += settings_.replay.empty() ? "; guard on: only calls that read the board reach it (" +
                                             settings_.guard_reason + ")"
                                       : "; guard: no board is reached in replay, the recording answers every call";
    }
    if (settings_.keep_secrets) line += " (secrets kept: lab use only)";
    guard_.store(settings_.read_only && settings_.replay.empty(), std::memory_order_release);
    settled_ = true;
    Say(line);
    // Each wrong setting is said now and noted in the trace when it is opened.
    for (const std::string &problem : settings_.problems) Say("hwlink spy: " + problem);
  }

  // The recording's header for the session whose exchange is served next (the last one's
  // when all are served). Called with the mutex held, in replay.
  bool RecordedGuardLocked() const {
    const std::vector<hwtrace::Header> &headers = recording_.headers;
    if (headers.empty()) return false;
    const hwtrace::Header *session = &headers.back();
    if (position_ < recording_.exchanges.size()) {
      const uint32_t line = recording_.exchanges[position_].line;
      for (const hwtrace::Header &header : headers) {
        if (header.line < line) session = &header;
      }
    }
    return session->guard == kGuardReadOnly;
  }

  // Loads the real transport, or the recording, at the first call. False when calls must
  // answer "no exchange".
  bool Ready() {
    if (ready_.load(std::memory_order_acquire)) return true;
    std::lock_guard<std::mutex> lock(mutex_);
    Settle();
    if (load_tried_) return ready_.load(std::memory_order_relaxed);
    load_tried_ = true;
    std::string error;
    bool ok;
    if (!settings_.replay.empty()) {
      ok = LoadRecording(error);
    } else {
      ok = LoadTarget(settings_.target, target_, error);
      if (!ok) error = "cannot load the real transport " + settings_.target + " (" + settings_.target_origin + "): " + error;
    }
    if (!ok) {
      const std::string text = error + "; every call answers \"no exchange\"";
      Say("hwlink spy: " + text);
      NoteLocked(text);
      return false;
    }
    ready_.store(true, std::memory_order_release);
    return true;
  }

  bool LoadRecording(std::string &error) {
    try {
      recording_ = hwtrace::ReadTraceFile(settings_.replay);
    } catch (const hwtrace::TraceError &e) {
      error = std::string("cannot replay: ") + e.what();
      return false;
    }
    // Processes run one after another under one replay share it: each goes on where the
    // previous one stopped, as counted in the trace they all append to.
    try {
      const hwtrace::Trace so_far = hwtrace::ReadTraceFile(settings_.trace);
      position_ = so_far.exchanges.size();
      for (const hwtrace::Note &note : so_far.notes) {
        if (note.text.rfind("replay: exchange", 0) == 0) diverged_ = true;
      }
    } catch (const hwtrace::TraceError &) {
      position_ = 0;  // no trace yet
    }
    replay_ = true;
    return true;
  }

  // Answers a call from the recording. The first call that does not match the next
  // recorded exchange, and every call after it, gets "no exchange". A call that the guard
  // kept from the board when it was recorded is answered so again, and marked `guarded`.
  uint32_t Serve(const Call &call, bool &guarded) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (diverged_) return 0;
    const uint64_t number = position_ + 1;
    // Compared in full; shown with the secrets withheld as the trace would hold them.
    const Exchange live = Request(call, hwtrace::Withheld{});
    const Exchange shown = Request(call, Withheld(call));
    if (position_ >= recording_.exchanges.size()) {
      Diverge("replay: exchange " + std::to_string(number) + ": the recording ends before it; came " +
              hwtrace::Describe(shown, replay_pages_));
      return 0;
    }
    const Exchange &expected = recording_.exchanges[position_];
    if (!hwtrace::SameRequest(expected, live)) {
      Diverge("replay: exchange " + std::to_string(number) + " differs from the recording (line " +
              std::to_string(expected.line) + "): expected " + hwtrace::Describe(expected, replay_pages_) +
              "; came " + hwtrace::CommandName(shown) + " [" + std::to_string(shown.command) + "] " +
              hwtrace::CommandWords(shown, replay_pages_) + "; " + hwtrace::Differences(expected, shown));
      return 0;
    }
    const bool answers_data = expected.succeeded() && expected.status == 0 && expected.in_length != 0;
    if (answers_data && (expected.in.kind != Block::Kind::kBytes || call.in == nullptr)) {
      Diverge("replay: exchange " + std::to_string(number) + " (line " + std::to_string(expected.line) +
              "): the recording holds no bytes for its answer (" +
              (expected.in.redacted() ? "withheld" : "not recorded") +
              "); record the session with secrets kept to replay it");
      return 0;
    }
    ++position_;
    replay_pages_.Learn(expected);
    guarded = expected.guarded;
    if (!expected.succeeded()) return expected.result;
    if (call.status != nullptr && expected.status) *call.status = *expected.status;
    if (answers_data) std::memcpy(call.in, expected.in.data.data(), expected.in_length);
    if (call.aux != nullptr && expected.aux) *call.aux = *expected.aux;
    return expected.result;
  }

  void Diverge(const std::string &text) {
    diverged_ = true;
    Say("hwlink spy: " + text);
    NoteLocked(text);
  }

  // The blocks of this call that the trace must not hold. Called with the mutex held.
  hwtrace::Withheld Withheld(const Call &call) const {
    if (settings_.keep_secrets) return {};
    return hwtrace::SecretBlocks(call.command, call.param_length, static_cast<const uint8_t *>(call.param), pages_);
  }

  // The request half of an exchange record, over the caller's own bytes.
  hwtrace::ExchangeView RequestView(const Call &call, hwtrace::Withheld withheld) const {
    hwtrace::ExchangeView x;
    x.pid = pid_;
    x.entry = call.entry;
    x.command = call.command;
    x.param_length = call.param_length;
    x.param = CallView(call.param, call.param_length, false);
    x.out_length = call.out_length;
    x.out = CallView(call.out, call.out_length, withheld.out);
    x.in_length = call.in_length;
    return x;
  }

  // The same as a record of its own (for comparing and describing).
  Exchange Request(const Call &call, hwtrace::Withheld withheld) const {
    return hwtrace::ToExchange(RequestView(call, withheld));
  }

  void Record(const Call &call, uint32_t result, bool guarded, uint64_t start, uint64_t duration) noexcept {
    try {
      std::lock_guard<std::mutex> lock(mutex_);
      const hwtrace::Withheld withheld = Withheld(call);
      if (guarded && !replay_) SayGuardedOnce(call, withheld);
      hwtrace::ExchangeView x = RequestView(call, withheld);
      x.seq = ++sequence_;
      x.start_us = start;
      x.duration_us = duration;
      x.result = result;
      x.guarded = guarded;
      const bool ok = (result & 0xFF) != 0;
      if (ok && call.status != nullptr) x.status = *call.status;
      if (call.aux != nullptr) x.aux = *call.aux;
      if (ok && x.status == 0) {
        x.in = CallView(call.in, call.in_length, withheld.in);
        pages_.Learn(call.command, true, static_cast<const uint8_t *>(call.in), call.in != nullptr ? call.in_length : 0);
      }
      line_.clear();
      hwtrace::AppendExchange(line_, x);
      WriteLocked(line_);
    } catch (...) {
      // Out of memory while recording: the call itself has been forwarded already.
      if (!trace_failed_) {
        trace_failed_ = true;
        Say("hwlink spy: cannot record a call (out of memory); calls are still forwarded");
      }
    }
  }

  // The first call that the guard keeps from the board is said, so that a library that
  // writes when it was asked to read is noticed at once; every one is in the trace.
  void SayGuardedOnce(const Call &call, hwtrace::Withheld withheld) {
    if (said_guarded_) return;
    said_guarded_ = true;
    const Exchange x = Request(call, withheld);
    Say("hwlink spy: the read-only guard kept " + hwtrace::CommandName(x) + " [" + std::to_string(x.command) +
        "] from the board; it and every other command that does not read are answered \"no exchange\" and marked "
        "guarded in the trace");
  }

  void NoteLocked(const std::string &text) {
    hwtrace::Note note;
    note.pid = pid_;
    note.start_us = hwtrace::WallClockMicros();
    note.text = text;
    WriteLocked(hwtrace::EncodeNote(note));
  }

  // Appends one line to the trace, opening it (and writing this process's header and the
  // notes of wrong settings) first. After the first failure the trace is left alone for the
  // rest of the process: a record written in part must not be followed by more.
  void WriteLocked(const std::string &line) {
    if (trace_failed_ || settings_.trace.empty()) return;
    std::string error;
    if (!trace_.is_open()) {
      std::string warning;
      if (!trace_.OpenTrace(settings_.trace, error, warning)) {
        trace_failed_ = true;
        Say("hwlink spy: cannot write the trace: " + error + ": name a new file or an existing trace with " +
            kTraceVariable + " or trace = in " + kConfigFileName + "; calls are still forwarded, without a trace");
        return;
      }
      if (!warning.empty()) Say("hwlink spy: " + warning);
      hwtrace::Header header;
      header.writer = kWriter;
      header.source = replay_ ? "replay" : "spy";
      if (guard_.load(std::memory_order_relaxed)) header.guard = kGuardReadOnly;
      header.pid = pid_;
      header.start_us = hwtrace::WallClockMicros();
      std::string opening = hwtrace::EncodeHeader(header);
      for (const std::string &problem : settings_.problems) {
        hwtrace::Note note;
        note.pid = pid_;
        note.start_us = header.start_us;
        note.text = "settings: " + problem;
        opening += hwtrace::EncodeNote(note);
      }
      if (!trace_.Append(opening, error)) {
        TraceFailed(error);
        return;
      }
    }
    if (!trace_.Append(line, error)) TraceFailed(error);
  }

  void TraceFailed(const std::string &error) {
    trace_failed_ = true;
    trace_.Close();
    Say("hwlink spy: cannot write the trace " + settings_.trace + ": " + error +
        "; calls are still forwarded, without a trace");
  }

  std::mutex mutex_;
  bool settled_ = false;
  Settings settings_;
  std::atomic<bool> guard_{false};  // the read-only guard, when forwarding (not in replay)
  std::atomic<uint32_t> guarded_calls_{0};  // calls answered as guarded in this process
  bool said_guarded_ = false;
  uint32_t pid_ = 0;
  std::atomic<bool> ready_{false};
  bool load_tried_ = false;
  Target target_;
  hwtrace::AppendFile trace_;
  std::string line_;  // the record being written, its storage kept from call to call
  bool trace_failed_ = false;
  uint64_t sequence_ = 0;
  hwtrace::UserPages pages_;
  // Replay.
  bool replay_ = false;
  hwtrace::Trace recording_;
  size_t position_ = 0;
  bool diverged_ = false;
  hwtrace::UserPages replay_pages_;
};

// Says at load that a spy is active, so that a forgotten one is noticed.
struct AnnounceAtLoad {
  AnnounceAtLoad() { Spy::Instance().Announce(); }
} announce_at_load;

}  // namespace
}  // namespace spy

extern "C" {

HWLINK_API uint32_t KLIA_CALL HwTransfer(uint8_t command, uint8_t param_length, const void *param,
                                         uint8_t out_length, const void *out, uint8_t in_length, void *in,
                                         uint8_t *status, uint8_t *aux) {
  return spy::Spy::Instance().Transfer(spy::Call{hwtrace::kEntryTransfer, command, param_length, param, out_length, out,
                                                 in_length, in, status, aux});
}

HWLINK_API uint32_t KLIA_CALL HwTransferEx(uint8_t command, uint8_t param_length, const void *param,
                                           uint16_t out_length, const void *out, uint16_t in_length, void *in,
                                           uint8_t *status, uint8_t *aux) {
  return spy::Spy::Instance().Transfer(spy::Call{hwtrace::kEntryTransferEx, command, param_length, param, out_length,
                                                 out, in_length, in, status, aux});
}

// Whether the read-only guard is on in this process (1) or not (0), settling the settings
// first if no call has yet; and how many calls it has kept from the board so far. klia looks
// them up by name in the transport it is bound to, to report the guard as it is.
HWLINK_API uint32_t KLIA_CALL HwSpyGuard(void) { return spy::Spy::Instance().Guard(); }

HWLINK_API uint32_t KLIA_CALL HwSpyGuardedCalls(void) { return spy::Spy::Instance().GuardedCalls(); }

}  // extern "C"
