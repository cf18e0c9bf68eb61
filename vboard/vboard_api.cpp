// The transport entry points and the control interface (vboard.h): which board is served,
// the trace, fault injection and info patches. The board itself is in board_model.cpp.
//
// No exception leaves an exported function: each one catches everything, and the transport
// then answers "no exchange" (false).
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "board/hwlink.h"
#include "board_model.h"
#include "trace_file.h"
#include "trace_format.h"
#include "vboard.h"

#ifndef VBOARD_VERSION
#define VBOARD_VERSION "0"
#endif

namespace vboard {
namespace {

constexpr uint8_t kScribble = 0xA5;

struct ActiveFault {
  VBoardFault rule;
  uint32_t seen = 0;   // matching commands since the fault was added
  uint32_t fired = 0;
};

struct InfoPatch {
  uint8_t offset;
  uint8_t value;
  uint32_t first;
  uint32_t count;
  uint32_t answers = 0;  // answers to command 16 since the patch was added
};

struct TraceRecord {
  VBoardTraceEntry entry;
  std::vector<uint8_t> out;  // owns the copy that entry.out points into
};

// The board trace file that every transport call is appended to (VBoardTraceRecord,
// HWLINK_VBOARD_TRACE). It outlives the boards served: it records the transport, not a board.
struct TraceFile {
  hwtrace::AppendFile file;
  std::string path;
  std::string line;  // the record being written, its storage kept from call to call
  uint64_t sequence = 0;
};

struct ServedBoard {
  std::mutex mutex;
  std::unique_ptr<TraceFile> recording;
  bool recording_variable_read = false;
  std::unique_ptr<VirtualBoard> board;
  std::vector<ActiveFault> faults;
  std::vector<InfoPatch> patches;
  std::vector<TraceRecord> trace;
  bool trace_enabled = true;
  bool image_error_reported = false;
  // VBoardUnplugAfter: while set, how many more transport calls reach the board.
  bool unplug_pending = false;
  uint32_t calls_before_unplug = 0;
};

// Never destroyed: the board must still answer when a library that depends on this one flushes
// from its own unload handler, which on POSIX runs after exit() has destroyed the statics
// constructed since start-up. Image writes go straight to the file, so nothing is lost.
ServedBoard &Served() {
  static ServedBoard &served = *new ServedBoard;
  return served;
}

std::atomic<int> g_in_command{0};

struct InCommand {
  InCommand() { ++g_in_command; }
  ~InCommand() { --g_in_command; }
};

// Forgets everything that belongs to the previous board.
void ForgetBoardExtras(ServedBoard &served) {
  served.faults.clear();
  served.patches.clear();
  served.trace.clear();
  served.trace_enabled = true;
  served.unplug_pending = false;
}

// True when the board has been unplugged (VBoardUnplugAfter); counts this call otherwise.
bool Unplugged(ServedBoard &served) {
  if (!served.unplug_pending) return false;
  if (served.calls_before_unplug == 0) return true;
  --served.calls_before_unplug;
  return false;
}

// Serves `board` from now on, with none of the previous board's faults, patches or trace.
// Returns 0 when there is no board to serve.
int Serve(std::unique_ptr<VirtualBoard> board) {
  if (!board) return 0;
  ServedBoard &served = Served();
  std::lock_guard<std::mutex> lock(served.mutex);
  served.board = std::move(board);
  ForgetBoardExtras(served);
  return 1;
}

// The geometry of a new image made without one: HWLINK_VBOARD_GEOMETRY, else the default.
VBoardGeometry NewImageGeometry() {
  VBoardGeometry geometry{};
  DefaultGeometry(geometry);
  const char *text = std::getenv("HWLINK_VBOARD_GEOMETRY");
  if (text != nullptr && *text != '\0' && !ParseGeometry(text, geometry)) {
    std::fprintf(stderr, "hwlink32: HWLINK_VBOARD_GEOMETRY \"%s\" is not a geometry; using the default\n", text);
    DefaultGeometry(geometry);
  }
  return geometry;
}

// True when HWLINK_VBOARD_READ_ONLY asks for the image to be served read-only.
bool ReadOnlyRequested() {
  const char *text = std::getenv("HWLINK_VBOARD_READ_ONLY");
  return text != nullptr && *text != '\0' && std::strcmp(text, "0") != 0;
}

// True when HWLINK_VBOARD_CREATE asks for a missing image of HWLINK_VBOARD_IMAGE to be made.
// Without it a missing image is an error: a mistyped path must not quietly become a new,
// empty board.
bool CreateRequested() {
  const char *text = std::getenv("HWLINK_VBOARD_CREATE");
  return text != nullptr && *text != '\0' && std::strcmp(text, "0") != 0;
}

// The board served now. With no board made through the control interface, the first use
// opens HWLINK_VBOARD_IMAGE (null when that fails: the transport then fails too) or makes a
// default in-memory board.
VirtualBoard *Board(ServedBoard &served) {
  if (served.board) return served.board.get();
  const char *image = std::getenv("HWLINK_VBOARD_IMAGE");
  if (image != nullptr && *image != '\0') {
    const VBoardGeometry geometry = NewImageGeometry();
    std::string error;
    const bool create = CreateRequested();
    served.board = VirtualBoard::Image(image, geometry, error, ReadOnlyRequested(), create);
    if (!served.board && !served.image_error_reported) {
      const bool missing = !create && error.find(": no such image") != std::string::npos;
      if (missing && !ReadOnlyRequested()) {
        error += " (HWLINK_VBOARD_IMAGE; set HWLINK_VBOARD_CREATE=1 to make a new board there)";
      }
      std::fprintf(stderr, "hwlink32: %s\n", error.c_str());
      served.image_error_reported = true;
    }
  } else {
    VBoardGeometry geometry{};
    DefaultGeometry(geometry);
    served.board = VirtualBoard::InMemory(geometry);
  }
  return served.board.get();
}

// The fault that fires for this command, if any. Every fault counts the commands it matches.
const VBoardFault *FiringFault(ServedBoard &served, uint8_t command) {
  const VBoardFault *firing = nullptr;
  for (ActiveFault &fault : served.faults) {
    if (fault.rule.command != 0 && fault.rule.command != command) continue;
    ++fault.seen;
    const bool due = fault.rule.nth == 0 || fault.seen == fault.rule.nth;
    const bool left = fault.rule.times == 0 || fault.fired < fault.rule.times;
    if (firing == nullptr && due && left) {
      ++fault.fired;
      firing = &fault.rule;
    }
  }
  return firing;
}

void ApplyPatches(ServedBoard &served, uint8_t *block, bool count_answer) {
  for (InfoPatch &patch : served.patches) {
    const uint32_t answer = patch.answers + 1;
    if (count_answer) patch.answers = answer;
    const uint32_t first = patch.first == 0 ? 1 : patch.first;
    if (answer >= first && (patch.count == 0 || answer - first < patch.count)) block[patch.offset] = patch.value;
  }
}

TraceRecord *StartTrace(ServedBoard &served, const Exchange &x, bool extended) {
  if (!served.trace_enabled) return nullptr;
  TraceRecord &record = served.trace.emplace_back();
  VBoardTraceEntry &entry = record.entry;
  std::memset(&entry, 0, sizeof entry);
  entry.command = x.command;
  entry.extended = extended ? 1 : 0;
  entry.param_length = x.param_length;
  if (x.param != nullptr) {
    std::memcpy(entry.param, x.param, x.param_length < sizeof entry.param ? x.param_length : sizeof entry.param);
  }
  entry.out_length = x.out_length;
  if (x.out != nullptr && x.out_length != 0) record.out.assign(x.out, x.out + x.out_length);
  entry.in_length = x.in_length;
  return &record;
}

void FinishTrace(TraceRecord *record, uint8_t status, bool transport_ok) {
  if (record == nullptr) return;
  record->entry.status = status;
  record->entry.transport_ok = transport_ok ? 1 : 0;
}

// Starts recording to `path` (a new header in the file). Returns false, saying why in
// `error`, when the file cannot be opened or written.
bool StartRecording(ServedBoard &served, const std::string &path, std::string &error) {
  auto recording = std::make_unique<TraceFile>();
  recording->path = path;
  hwtrace::Header header;
  header.writer = "hwlink32 virtual board " VBOARD_VERSION;
  header.source = "vboard";
  header.pid = hwtrace::ProcessId();
  header.start_us = hwtrace::WallClockMicros();
  // Only into a trace: a new file, an empty one or an existing trace, never through a link and
  // never the board image or a library named by mistake.
  std::string warning;
  if (!recording->file.OpenTrace(path, error, warning) ||
      !recording->file.Append(hwtrace::EncodeHeader(header), error)) {
    return false;
  }
  if (!warning.empty()) std::fprintf(stderr, "hwlink32: HWLINK_VBOARD_TRACE: %s\n", warning.c_str());
  served.recording = std::move(recording);
  return true;
}

// HWLINK_VBOARD_TRACE, read once, at the first transport call.
void RecordingFromEnvironment(ServedBoard &served) {
  if (served.recording_variable_read) return;
  served.recording_variable_read = true;
  const char *path = std::getenv("HWLINK_VBOARD_TRACE");
  if (path == nullptr || *path == '\0' || served.recording) return;
  std::string error;
  if (!StartRecording(served, path, error)) {
    std::fprintf(stderr, "hwlink32: HWLINK_VBOARD_TRACE: %s; the calls are not recorded\n", error.c_str());
  }
}

hwtrace::BlockView CallBlock(const uint8_t *address, uint32_t length) {
  if (length == 0) return {hwtrace::Block::Kind::kBytes, 0, nullptr};
  if (address == nullptr) return {};
  return {hwtrace::Block::Kind::kBytes, length, address};
}

// Appends one exchange to the recording. The virtual board holds no one's secrets, so
// nothing is withheld: its traces can be replayed whole. A write that fails ends the
// recording, said once. Nothing here may change the call's answer, which is given already.
void RecordCall(ServedBoard &served, const Exchange &x, bool extended, const uint8_t *status_byte, const uint8_t *aux,
                uint32_t result, uint64_t start, uint64_t duration) noexcept try {
  TraceFile &recording = *served.recording;
  hwtrace::ExchangeView e;
  e.seq = ++recording.sequence;
  e.pid = hwtrace::ProcessId();
  e.start_us = start;
  e.duration_us = duration;
  e.entry = extended ? hwtrace::kEntryTransferEx : hwtrace::kEntryTransfer;
  e.command = x.command;
  e.param_length = x.param_length;
  e.param = CallBlock(x.param, x.param_length);
  e.out_length = x.out_length;
  e.out = CallBlock(x.out, x.out_length);
  e.in_length = x.in_length;
  e.result = result;
  if (result != 0 && status_byte != nullptr) e.status = *status_byte;
  if (aux != nullptr) e.aux = *aux;
  if (result != 0 && e.status == 0) e.in = CallBlock(x.in, x.in_length);
  recording.line.clear();
  hwtrace::AppendExchange(recording.line, e);
  std::string error;
  if (!recording.file.Append(recording.line, error)) {
    std::fprintf(stderr, "hwlink32: cannot write the board trace %s: %s; recording stops\n", recording.path.c_str(),
                 error.c_str());
    served.recording.reset();
  }
} catch (...) {
  std::fprintf(stderr, "hwlink32: cannot record a call (out of memory); recording stops\n");
  served.recording.reset();
}

uint32_t Serve(ServedBoard &served, Exchange &x, uint8_t *status_byte, bool extended);

uint32_t Transfer(uint8_t command, uint8_t param_length, const void *param, uint16_t out_length, const void *out,
                  uint16_t in_length, void *in, uint8_t *status_byte, uint8_t *aux, bool extended) noexcept {
  InCommand scope;
  try {
    Exchange x;
    x.command = command;
    x.param_length = param_length;
    x.param = static_cast<const uint8_t *>(param);
    x.out_length = out_length;
    x.out = static_cast<const uint8_t *>(out);
    x.in_length = in_length;
    x.in = static_cast<uint8_t *>(in);

    ServedBoard &served = Served();
    std::lock_guard<std::mutex> lock(served.mutex);
    RecordingFromEnvironment(served);
    if (!served.recording) return Serve(served, x, status_byte, extended);
    const uint64_t start = hwtrace::WallClockMicros();
    const uint64_t begun = hwtrace::MonotonicMicros();
    const uint32_t result = Serve(served, x, status_byte, extended);
    RecordCall(served, x, extended, status_byte, aux, result, start, hwtrace::MonotonicMicros() - begun);
    return result;
  } catch (...) {
    return 0;
  }
}

// One transport call on the served board, with the faults and the in-memory trace.
uint32_t Serve(ServedBoard &served, Exchange &x, uint8_t *status_byte, bool extended) {
  const uint8_t command = x.command;
  TraceRecord *record = StartTrace(served, x, extended);
  VirtualBoard *board = Board(served);
  if (board == nullptr || status_byte == nullptr || Unplugged(served)) {
    FinishTrace(record, 0, false);
    return 0;
  }

  if (const VBoardFault *fault = FiringFault(served, command)) {
    if (fault->scribble != 0 && x.in != nullptr && x.in_length != 0) std::memset(x.in, kScribble, x.in_length);
    if (fault->transport_fails != 0) {
      if (fault->scribble != 0) *status_byte = kScribble;
      FinishTrace(record, fault->scribble != 0 ? kScribble : 0, false);
      return 0;
    }
    *status_byte = fault->status;
    FinishTrace(record, fault->status, true);
    return 1;
  }

  const uint8_t answer = board->Execute(x);
  if (answer == status::kOk && command == command::kReadInfo) ApplyPatches(served, x.in, true);
  *status_byte = answer;
  FinishTrace(record, answer, true);
  return 1;
}

template <class Change>
void UpdateState(Change &&change) {
  try {
    ServedBoard &served = Served();
    std::lock_guard<std::mutex> lock(served.mutex);
    if (VirtualBoard *board = Board(served)) board->Update(change);
  } catch (...) {
  }
}

}  // namespace
}  // namespace vboard

using namespace vboard;

extern "C" {

HWLINK_API uint32_t KLIA_CALL HwTransfer(uint8_t command, uint8_t param_length, const void *param,
                                         uint8_t out_length, const void *out, uint8_t in_length, void *in,
                                         uint8_t *status, uint8_t *aux /* never written */) {
  return Transfer(command, param_length, param, out_length, out, in_length, in, status, aux, false);
}

HWLINK_API uint32_t KLIA_CALL HwTransferEx(uint8_t command, uint8_t param_length, const void *param,
                                           uint16_t out_length, const void *out, uint16_t in_length, void *in,
                                           uint8_t *status, uint8_t *aux /* never written */) {
  return Transfer(command, param_length, param, out_length, out, in_length, in, status, aux, true);
}

VBOARD_API void VBoardMakeGeometry(uint16_t user_count, uint16_t data_page_count, uint16_t log_page_count,
                                   uint16_t page_size, VBoardGeometry *geometry) {
  if (geometry != nullptr) MakeStandardGeometry(user_count, data_page_count, log_page_count, page_size, *geometry);
}

VBOARD_API void VBoardDefaultGeometry(VBoardGeometry *geometry) {
  if (geometry != nullptr) DefaultGeometry(*geometry);
}

VBOARD_API int VBoardCreate(const VBoardGeometry *geometry) {
  try {
    if (geometry == nullptr) return 0;
    return Serve(VirtualBoard::InMemory(*geometry));
  } catch (...) {
    return 0;
  }
}

VBOARD_API int VBoardCreateRaw(const uint8_t info[51], uint32_t memory_pages, uint16_t memory_page_size) {
  try {
    if (info == nullptr) return 0;
    return Serve(VirtualBoard::Raw(info, memory_pages, memory_page_size));
  } catch (...) {
    return 0;
  }
}

VBOARD_API int VBoardOpenImage(const char *path, const VBoardGeometry *geometry) {
  try {
    if (path == nullptr || *path == '\0') return 0;
    const VBoardGeometry create = geometry != nullptr ? *geometry : NewImageGeometry();
    std::string error;
    return Serve(VirtualBoard::Image(path, create, error));
  } catch (...) {
    return 0;
  }
}

VBOARD_API void VBoardReset(void) {
  try {
    ServedBoard &served = Served();
    std::lock_guard<std::mutex> lock(served.mutex);
    if (VirtualBoard *board = Board(served)) board->Reset();
    ForgetBoardExtras(served);
  } catch (...) {
  }
}

VBOARD_API void VBoardGetGeometry(VBoardGeometry *geometry) {
  try {
    if (geometry == nullptr) return;
    ServedBoard &served = Served();
    std::lock_guard<std::mutex> lock(served.mutex);
    VirtualBoard *board = Board(served);
    if (board != nullptr) {
      *geometry = board->geometry();
    } else {
      *geometry = VBoardGeometry{};
    }
  } catch (...) {
  }
}

VBOARD_API int VBoardPeek(uint32_t page, uint32_t offset, uint32_t length, uint8_t *data) {
  try {
    ServedBoard &served = Served();
    std::lock_guard<std::mutex> lock(served.mutex);
    VirtualBoard *board = Board(served);
    return board != nullptr && board->Peek(page, offset, length, data) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

VBOARD_API int VBoardPoke(uint32_t page, uint32_t offset, uint32_t length, const uint8_t *data) {
  try {
    ServedBoard &served = Served();
    std::lock_guard<std::mutex> lock(served.mutex);
    VirtualBoard *board = Board(served);
    return board != nullptr && board->Poke(page, offset, length, data) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

VBOARD_API void VBoardGetInfoBlock(uint8_t info[51]) {
  try {
    if (info == nullptr) return;
    std::memset(info, 0, info::kSize);
    ServedBoard &served = Served();
    std::lock_guard<std::mutex> lock(served.mutex);
    if (VirtualBoard *board = Board(served)) {
      board->InfoBlock(info);
      ApplyPatches(served, info, false);
    }
  } catch (...) {
  }
}

VBOARD_API void VBoardSetState(uint8_t state) {
  UpdateState([state](LiveState &s) { s.state = state; });
}

VBOARD_API void VBoardSetLogon(uint16_t user, uint8_t flags) {
  UpdateState([user, flags](LiveState &s) {
    if (user == 0) {
      if (s.state == kStateLoggedOn) s.state = kStateDatabaseReady;
      s.current_user = 0;
      s.current_user_flags = 0;
    } else {
      s.state = kStateLoggedOn;
      s.current_user = user;
      s.current_user_flags = flags;
    }
  });
}

VBOARD_API void VBoardSetLogPosition(uint16_t page, uint16_t offset) {
  UpdateState([page, offset](LiveState &s) {
    s.log_page = page;
    s.log_offset = offset;
  });
}

VBOARD_API void VBoardSetErrorPage(uint16_t page) {
  UpdateState([page](LiveState &s) { s.error_page = page; });
}

VBOARD_API void VBoardFreezeClock(const uint8_t block[6]) {
  if (block == nullptr) return;
  UpdateState([block](LiveState &s) {
    s.clock_frozen = 1;
    std::memcpy(s.frozen_clock.data(), block, 6);
  });
}

VBOARD_API void VBoardGetClock(uint8_t block[6]) {
  try {
    if (block == nullptr) return;
    std::memset(block, 0, 6);
    ServedBoard &served = Served();
    std::lock_guard<std::mutex> lock(served.mutex);
    if (VirtualBoard *board = Board(served)) board->ClockBlock(block);
  } catch (...) {
  }
}

VBOARD_API uint16_t VBoardGetWatchdog(void) {
  try {
    ServedBoard &served = Served();
    std::lock_guard<std::mutex> lock(served.mutex);
    VirtualBoard *board = Board(served);
    return board != nullptr ? board->Snapshot().watchdog : 0;
  } catch (...) {
    return 0;
  }
}

VBOARD_API void VBoardPatchInfo(uint8_t offset, uint8_t value, uint32_t first, uint32_t count) {
  try {
    if (offset >= info::kSize) return;
    ServedBoard &served = Served();
    std::lock_guard<std::mutex> lock(served.mutex);
    served.patches.push_back(InfoPatch{offset, value, first, count});
  } catch (...) {
  }
}

VBOARD_API void VBoardAddFault(const VBoardFault *fault) {
  try {
    if (fault == nullptr) return;
    ServedBoard &served = Served();
    std::lock_guard<std::mutex> lock(served.mutex);
    served.faults.push_back(ActiveFault{*fault});
  } catch (...) {
  }
}

VBOARD_API void VBoardClearFaults(void) {
  ServedBoard &served = Served();
  std::lock_guard<std::mutex> lock(served.mutex);
  served.faults.clear();
}

VBOARD_API void VBoardUnplugAfter(uint32_t calls) {
  ServedBoard &served = Served();
  std::lock_guard<std::mutex> lock(served.mutex);
  served.unplug_pending = calls != 0;
  served.calls_before_unplug = calls;
}

VBOARD_API uint32_t VBoardTraceCount(void) {
  ServedBoard &served = Served();
  std::lock_guard<std::mutex> lock(served.mutex);
  return static_cast<uint32_t>(served.trace.size());
}

VBOARD_API int VBoardTraceGet(uint32_t index, VBoardTraceEntry *entry) {
  ServedBoard &served = Served();
  std::lock_guard<std::mutex> lock(served.mutex);
  if (entry == nullptr || index >= served.trace.size()) return 0;
  TraceRecord &record = served.trace[index];
  *entry = record.entry;
  entry->out = record.out.empty() ? nullptr : record.out.data();
  return 1;
}

VBOARD_API void VBoardTraceClear(void) {
  ServedBoard &served = Served();
  std::lock_guard<std::mutex> lock(served.mutex);
  served.trace.clear();
}

VBOARD_API void VBoardTraceEnable(int enabled) {
  ServedBoard &served = Served();
  std::lock_guard<std::mutex> lock(served.mutex);
  served.trace_enabled = enabled != 0;
}

VBOARD_API int VBoardTraceRecord(const char *path) {
  try {
    ServedBoard &served = Served();
    std::lock_guard<std::mutex> lock(served.mutex);
    served.recording_variable_read = true;  // the control call decides from now on
    served.recording.reset();
    if (path == nullptr || *path == '\0') return 1;
    std::string error;
    if (!StartRecording(served, path, error)) {
      std::fprintf(stderr, "hwlink32: %s\n", error.c_str());
      return 0;
    }
    return 1;
  } catch (...) {
    return 0;
  }
}

VBOARD_API int VBoardInCommand(void) { return g_in_command.load() != 0 ? 1 : 0; }

}  // extern "C"
