// klia data read|write, log clear|append|dump, config get|set, hwstep get|set.
#include <map>
#include <memory>

#include <CLI/CLI.hpp>

#include "board/commands.h"
#include "library/board_failure.h"
#include "shell/app.h"
#include "board/binary_io.h"
#include "library/board_session.h"
#include "shell/command_line.h"
#include "platform/platform.h"
#include "board/data_access.h"
#include "shell/errors.h"
#include "mviahlp.h"
#include "shell/output.h"
#include "shell/process.h"
#include "board/record_view.h"
#include "shell/text_input.h"

namespace klia {
namespace {

constexpr uint64_t kOffsetMax = 0x7FFFFFFF;
constexpr size_t kLogRecordMax = 0xFFFF;
constexpr uint8_t kHwStepReadFailed = 255;
constexpr uint8_t kHwStepNoneStored = 254;

uint8_t ParseArea(const std::string &text) { return static_cast<uint8_t>(ParseUnsigned(text, 0, 0xFF, "area")); }

void CheckSpan(uint64_t offset, uint64_t length) {
  if (offset + length > kOffsetMax + 1) {
    throw UsageError("offset " + std::to_string(offset) + " + length " + std::to_string(length) +
                     " runs past the largest offset a request can name");
  }
}

// The bytes a write or append takes: --hex, --text, --in FILE, or standard input.
struct InputOptions {
  std::string hex;
  std::string text;
  std::string in;
};

std::vector<uint8_t> ReadInput(const InputOptions &o, size_t limit, bool allow_text) {
  const int given = (!o.hex.empty()) + (!o.text.empty()) + (!o.in.empty());
  if (given > 1) throw UsageError("give only one of --hex, --text, --in");
  std::vector<uint8_t> data;
  if (!o.hex.empty()) {
    data = ParseHex(o.hex, "--hex");
  } else if (allow_text && !o.text.empty()) {
    const auto bytes = TerminalToCp866(o.text);
    if (!bytes) throw UsageError("--text: \"" + o.text + "\" has characters that code page 866 cannot hold");
    data.assign(bytes->begin(), bytes->end());
  } else if (!o.in.empty()) {
    data = o.in == "-" ? ReadStandardInput(limit) : ReadFileBytes(o.in, limit);
  } else {
    data = ReadStandardInput(limit);
  }
  if (data.size() > limit) throw UsageError("more than " + std::to_string(limit) + " bytes to write");
  return data;
}

void AddInputOptions(CLI::App *command, InputOptions &o, bool with_text) {
  command->add_option("--hex", o.hex, "the bytes as hex")->type_name(kHexLabel);
  if (with_text) command->add_option("--text", o.text, "the bytes as text (stored in code page 866)")->type_name(kTextLabel);
  command->add_option("--in", o.in, "read the bytes from FILE ('-' or nothing given: standard input)")
      ->type_name(kFileLabel);
}

// Checks a request against the board's areas before any data command is sent: a request
// that cannot fit is the person's mistake, not the board's. Areas 2 and 3 have their sizes in
// the information record; the small fixed areas are left to the library's own check.
void CheckAgainstBoard(uint8_t area, uint64_t offset, uint64_t length) {
  if (area != 0 && area != 1 && area != 2 && area != KLIA_AREA_LOG && area != 5) {
    throw UsageError("there is no area " + std::to_string(area) +
                     ": the areas are 0 (configuration), 1, 2 (data), 3 (event log) and 5 (hardware step)");
  }
  if (area != 2 && area != KLIA_AREA_LOG) return;
  const Info info = DecodeInfo(ReadInfo());
  const uint64_t size = area == 2 ? info.DataAreaBytes() : info.LogAreaBytes();
  if (offset + length > size) {
    throw UsageError("area " + std::to_string(area) + " holds " + std::to_string(size) + " bytes: offset " +
                     std::to_string(offset) + " + length " + std::to_string(length) + " runs past its end");
  }
}

// data read / data write

struct ReadOptions {
  std::string area, offset, length, out;
  bool raw = false;
};

void PrintBytes(const char *what, uint8_t area, uint32_t offset, const std::vector<uint8_t> &data,
                nlohmann::json extra = nlohmann::json::object(), TextColumn column = TextColumn::kAscii) {
  extra["area"] = area;
  extra["offset"] = offset;
  extra["length"] = data.size();
  extra["hex"] = ToHex(data);
  Emit(std::string(what) + ": " + std::to_string(data.size()) + " bytes of area " + std::to_string(area) +
           " at offset " + std::to_string(offset) + "\n" + Hexdump(data.data(), data.size(), offset, column),
       extra);
}

int ReadData(const Context &context, const ReadOptions &o) {
  const uint8_t area = ParseArea(o.area);
  const uint32_t offset = static_cast<uint32_t>(ParseUnsigned(o.offset, 0, kOffsetMax, "offset"));
  const uint32_t length = static_cast<uint32_t>(ParseUnsigned(o.length, 0, kTransferLimit, "length"));
  CheckSpan(offset, length);
  Open(context, Access::kRead);
  CheckAgainstBoard(area, offset, length);
  const std::vector<uint8_t> data = ReadArea(area, offset, length);
  if (!o.out.empty()) {
    WriteFileBytes(o.out, data);
    Emit("read " + std::to_string(data.size()) + " bytes of area " + std::to_string(area) + " into " + o.out + "\n",
         {{"area", area}, {"offset", offset}, {"length", data.size()}, {"out", o.out}});
    return kExitOk;
  }
  if (o.raw && !context.json) {
    WriteStandardOutput(data);
    return kExitOk;
  }
  PrintBytes("data", area, offset, data);
  return kExitOk;
}

struct WriteOptions {
  std::string area, offset;
  InputOptions input;
  bool yes = false;
};

// Areas that hold structured records, and the command that writes each of them whole: raw
// bytes written there break the record (the configuration record's check, the log's records,
// the hardware step), so such a write is confirmed like any other destruction.
const char *RecordCommandOf(uint8_t area) {
  switch (area) {
    case KLIA_AREA_CONFIG: return "klia config set";
    case KLIA_AREA_LOG: return "klia log append";
    case KLIA_AREA_HWSTEP: return "klia hwstep set";
    default: return nullptr;
  }
}

const char *RecordNameOf(uint8_t area) {
  switch (area) {
    case KLIA_AREA_CONFIG: return "the configuration record";
    case KLIA_AREA_LOG: return "the event log's records";
    default: return "the hardware-step record";
  }
}

int WriteData(const Context &context, const WriteOptions &o) {
  const uint8_t area = ParseArea(o.area);
  const uint32_t offset = static_cast<uint32_t>(ParseUnsigned(o.offset, 0, kOffsetMax, "offset"));
  if (area == KLIA_AREA_LOG && offset == KLIA_APPEND_OFFSET) {
    throw UsageError("area 3 at offset 65535 appends a log record: use 'klia log append'");
  }
  const std::vector<uint8_t> data = ReadInput(o.input, kTransferLimit, false);
  if (data.empty()) throw UsageError("data write: nothing to write (the input is empty)");
  CheckSpan(offset, data.size());
  if (const char *command = RecordCommandOf(area)) {
    ConfirmDestruction("data write to area " + std::to_string(area) + " overwrites bytes of " + RecordNameOf(area) +
                           " in place (to change it, use '" + command + "')",
                       o.yes, "Write the bytes anyway?", "not written: nothing was changed");
  }
  Open(context, Access::kWrite);
  CheckAgainstBoard(area, offset, data.size());
  WriteArea(area, offset, data);
  Emit("wrote " + std::to_string(data.size()) + " bytes to area " + std::to_string(area) + " at offset " +
           std::to_string(offset) + "\n",
       {{"area", area}, {"offset", offset}, {"length", data.size()}, {"written", true}});
  return kExitOk;
}

// log clear / append / dump

// The log operations record no code of their own when the board refuses: what happened is
// told from the board's information instead.
[[noreturn]] void LogRefused(const std::string &operation, uint64_t record_size) {
  // A command that never reached the board says nothing about the log: the reasons below are
  // guesses from the board's information, for a board that answered.
  const ErrorState state = ReadErrorState();
  if (state.reported &&
      (state.device_status == KLIA_STATUS_TRANSPORT_FAILED || state.last_error == KLIA_STATUS_TRANSPORT_FAILED)) {
    throw BoardFailure(operation, state,
                       "the command never reached the board: the transport made no exchange (" +
                           (JsonOutput() ? TransportMessageSaysWhy() : std::string("a message above may say why")) +
                           "); the log is as it was");
  }
  InfoBytes record{};
  if (!Succeeded(KLIAGetInfo(record.data()))) throw BoardFailure("KLIAGetInfo", ReadErrorState());
  const Info info = DecodeInfo(record);
  if (info.state_class != 2 && info.state_class != 4) {
    throw Failure("log", operation + " failed: the board reports its database not formatted, and then it "
                                     "refuses the log (no write position); format the board with 'klia format'");
  }
  if (record_size != 0 && info.LogUsedBytes() + record_size > info.LogAreaBytes()) {
    throw Failure("log", operation + ": the log is full: " + std::to_string(info.LogUsedBytes()) + " of " +
                             std::to_string(info.LogAreaBytes()) + " bytes are in use and the record of " +
                             std::to_string(record_size) +
                             " bytes does not fit; 'klia log dump' shows what it holds, 'klia log clear' empties it");
  }
  throw Failure("log", operation + " failed (" + std::to_string(info.LogUsedBytes()) + " of " +
                           std::to_string(info.LogAreaBytes()) +
                           " log bytes in use): the board refused it, or the command never reached the board; the "
                           "library records no code for this operation");
}

int ClearLog(const Context &context) {
  Open(context, Access::kWrite);
  if (!Succeeded(KLIAClearLog())) LogRefused("log clear", 0);
  const Info info = DecodeInfo(ReadInfo());
  Emit("log cleared; " + std::to_string(info.LogUsedBytes()) + " of " + std::to_string(info.LogAreaBytes()) +
           " bytes in use\n",
       {{"cleared", true}, {"log_used_bytes", info.LogUsedBytes()}, {"log_area_bytes", info.LogAreaBytes()}});
  return kExitOk;
}

int AppendLog(const Context &context, const InputOptions &input) {
  const std::vector<uint8_t> record = ReadInput(input, kLogRecordMax, true);
  if (record.empty()) throw UsageError("log append: the record is empty");
  Open(context, Access::kWrite);
  uint16_t done = 0;
  if (!Succeeded(KLIAWriteDataEx(KLIA_AREA_LOG, record.data(), KLIA_APPEND_OFFSET,
                                 static_cast<uint16_t>(record.size()), &done))) {
    LogRefused("log append", record.size());
  }
  const Info info = DecodeInfo(ReadInfo());
  Emit("appended " + std::to_string(record.size()) + " bytes to the log; " + std::to_string(info.LogUsedBytes()) +
           " of " + std::to_string(info.LogAreaBytes()) + " bytes in use\n",
       {{"appended", record.size()}, {"log_used_bytes", info.LogUsedBytes()}, {"log_area_bytes", info.LogAreaBytes()}});
  return kExitOk;
}

int DumpLog(const Context &context, bool all) {
  Open(context, Access::kRead);
  const Info info = DecodeInfo(ReadInfo());
  uint32_t length = all ? info.LogAreaBytes() : info.LogUsedBytes();
  if (length > info.LogAreaBytes()) length = info.LogAreaBytes();
  const std::vector<uint8_t> data = ReadArea(KLIA_AREA_LOG, 0, length);
  // Log records are board text as often as not: shown as 'log append --text' took them, in
  // code page 866 (JSON: "text", the whole dump decoded).
  PrintBytes(all ? "log area" : "log in use", KLIA_AREA_LOG, 0, data,
             {{"log_area_bytes", info.LogAreaBytes()},
              {"log_used_bytes", info.LogUsedBytes()},
              {"text", Cp866ToUtf8(std::string(data.begin(), data.end()))}},
             TextColumn::kCp866);
  return kExitOk;
}

// config get / set

void PrintConfig(const ConfigBytes &record, const std::string &lead = "") {
  Emit(lead + "Configuration record\n" + RecordText(ConfigFields(), record.data()),
       RecordJson(ConfigFields(), record.data()));
}

// False when the board holds no valid record; throws when the area could not be read.
bool ReadConfig(ConfigBytes &record) {
  if (Succeeded(KLIAReadConfigData(record.data()))) return true;
  const ErrorState state = ReadErrorState();
  if (state.last_error != 0) throw BoardFailure("KLIAReadConfigData", state);
  return false;
}

int GetConfig(const Context &context) {
  Open(context, Access::kRead);
  ConfigBytes record{};
  if (!ReadConfig(record)) {
    throw NothingStored("no valid configuration record is stored (erased, all zero, or a check byte does not match)");
  }
  PrintConfig(record);
  return kExitOk;
}

int SetConfig(const Context &context, const std::map<std::string, std::string> &fields) {
  if (fields.empty()) throw UsageError("config set: give at least one field to change (see --help)");
  ConfigBytes scratch{};
  for (const RecordField &field : ConfigFields()) {
    auto typed = fields.find(field.name);
    if (typed != fields.end()) ApplyField(field, typed->second, scratch.data());
  }
  Open(context, Access::kWrite);
  ConfigBytes record{};
  std::string note;
  if (!ReadConfig(record)) {
    record = ConfigBytes{};
    note = "no valid record was stored: the fields not given start at 0\n";
  }
  for (const RecordField &field : ConfigFields()) {
    auto typed = fields.find(field.name);
    if (typed != fields.end()) ApplyField(field, typed->second, record.data());
  }
  Require(KLIAWriteConfigData(record.data()), "KLIAWriteConfigData");
  ConfigBytes stored{};
  Require(KLIAReadConfigData(stored.data()), "KLIAReadConfigData");
  PrintConfig(stored, note + "configuration written; the board now holds:\n");
  return kExitOk;
}

// hwstep get / set

uint8_t ReadHwStep() {
  uint8_t step = 0;
  if (Succeeded(KLIAReadHwStep(&step))) return step;
  if (step == kHwStepNoneStored) throw NothingStored("no hardware step is stored on this board");
  throw BoardFailure("KLIAReadHwStep", ReadErrorState());
}

void PrintHwStep(uint8_t step) { Emit("hardware step " + std::to_string(step) + "\n", {{"hwstep", step}}); }

int GetHwStep(const Context &context) {
  Open(context, Access::kRead);
  PrintHwStep(ReadHwStep());
  return kExitOk;
}

int SetHwStep(const Context &context, const std::string &text) {
  const uint8_t step = static_cast<uint8_t>(ParseUnsigned(text, 0, 0xFF, "hardware step"));
  Open(context, Access::kWrite);
  Require(KLIAWriteHwStep(step), "KLIAWriteHwStep");
  PrintHwStep(ReadHwStep());
  return kExitOk;
}

}  // namespace

void AddDataCommands(CLI::App &app, Context &context) {
  CLI::App *data = app.add_subcommand("data", "Read and write the board's data areas");
  data->require_subcommand(1);
  data->footer(
      "Areas: 0 configuration (pages 1-2), 1 (pages 4-6), 2 the data area, 3 the event log, 5 hardware step "
      "(page 0).");

  auto read_options = std::make_shared<ReadOptions>();
  CLI::App *read = data->add_subcommand("read", "Read bytes of an area: a hexdump, or raw bytes");
  read->add_option("area", read_options->area, "area number")->type_name(kNumberLabel)->required();
  read->add_option("offset", read_options->offset, "byte offset in the area")->type_name(kNumberLabel)->required();
  read->add_option("length", read_options->length, "number of bytes")->type_name(kNumberLabel)->required();
  read->add_flag("--raw", read_options->raw, "write the raw bytes to standard output");
  read->add_option("--out", read_options->out, "write the raw bytes to FILE")->type_name(kFileLabel);
  read->callback([&context, read_options] {
    context.run = [&context, read_options] { return ReadData(context, *read_options); };
  });

  auto write_options = std::make_shared<WriteOptions>();
  CLI::App *write = data->add_subcommand("write", "Write bytes into an area (then flush them to the board)");
  write->add_option("area", write_options->area, "area number")->type_name(kNumberLabel)->required();
  write->add_option("offset", write_options->offset, "byte offset in the area")->type_name(kNumberLabel)->required();
  AddInputOptions(write, write_options->input, false);
  write->add_flag("--yes", write_options->yes,
                  "write into area 0, 3 or 5 (records kept by 'config set', 'log append', 'hwstep set') without asking");
  write->callback([&context, write_options] {
    context.run = [&context, write_options] { return WriteData(context, *write_options); };
  });

  CLI::App *log = app.add_subcommand("log", "The board's event log");
  log->require_subcommand(1);
  CLI::App *clear = log->add_subcommand("clear", "Clear the event log");
  clear->callback([&context] { context.run = [&context] { return ClearLog(context); }; });
  auto append_input = std::make_shared<InputOptions>();
  CLI::App *append = log->add_subcommand("append", "Append a record to the event log");
  AddInputOptions(append, *append_input, true);
  append->callback([&context, append_input] {
    context.run = [&context, append_input] { return AppendLog(context, *append_input); };
  });
  auto dump_all = std::make_shared<bool>(false);
  CLI::App *dump = log->add_subcommand("dump", "Show the log area in hex and as text in code page 866 (the part in use, or --all)");
  dump->add_flag("--all", *dump_all, "the whole log area, not only the part in use");
  dump->callback([&context, dump_all] { context.run = [&context, dump_all] { return DumpLog(context, *dump_all); }; });

  CLI::App *config = app.add_subcommand("config", "The configuration record (14 fields)");
  config->require_subcommand(1);
  CLI::App *get = config->add_subcommand("get", "Show the configuration record");
  get->callback([&context] { context.run = [&context] { return GetConfig(context); }; });
  auto config_fields = std::make_shared<std::map<std::string, std::string>>();
  CLI::App *set = config->add_subcommand("set", "Change fields of the configuration record; the others are kept");
  AddFieldOptions(set, ConfigFields(), *config_fields);
  set->callback([&context, config_fields] {
    context.run = [&context, config_fields] { return SetConfig(context, *config_fields); };
  });

  CLI::App *hwstep = app.add_subcommand("hwstep", "The hardware-step value");
  hwstep->require_subcommand(1);
  CLI::App *hw_get = hwstep->add_subcommand("get", "Show the hardware step");
  hw_get->callback([&context] { context.run = [&context] { return GetHwStep(context); }; });
  auto step = std::make_shared<std::string>();
  CLI::App *hw_set = hwstep->add_subcommand("set", "Store the hardware step");
  hw_set->add_option("step", *step, "step value, 0-255")->type_name(kNumberLabel)->required();
  hw_set->callback([&context, step] { context.run = [&context, step] { return SetHwStep(context, *step); }; });
}

}  // namespace klia
