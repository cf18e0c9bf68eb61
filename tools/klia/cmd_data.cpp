// klia data read|write, log clear|append|dump, config get|set, hwstep get|set.
#include <map>
#include <memory>

#include <CLI/CLI.hpp>

#include "app.h"
#include "binary_io.h"
#include "board_session.h"
#include "cp866.h"
#include "data_access.h"
#include "errors.h"
#include "mviahlp.h"
#include "output.h"
#include "record_view.h"
#include "text_input.h"

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
  command->add_option("--hex", o.hex, "the bytes as hex");
  if (with_text) command->add_option("--text", o.text, "the bytes as text (stored in code page 866)");
  command->add_option("--in", o.in, "read the bytes from FILE ('-' or nothing given: standard input)");
}

// data read / data write

struct ReadOptions {
  std::string area, offset, length, out;
  bool raw = false;
};

void PrintBytes(const Context &context, const char *what, uint8_t area, uint32_t offset,
                const std::vector<uint8_t> &data, nlohmann::json extra = nlohmann::json::object()) {
  if (context.json) {
    extra["area"] = area;
    extra["offset"] = offset;
    extra["length"] = data.size();
    extra["hex"] = ToHex(data);
    PrintJson(extra);
  } else {
    PrintText(std::string(what) + ": " + std::to_string(data.size()) + " bytes of area " + std::to_string(area) +
              " at offset " + std::to_string(offset) + "\n" + Hexdump(data.data(), data.size(), offset));
  }
}

int ReadData(const Context &context, const ReadOptions &o) {
  const uint8_t area = ParseArea(o.area);
  const uint32_t offset = static_cast<uint32_t>(ParseUnsigned(o.offset, 0, kOffsetMax, "offset"));
  const uint32_t length = static_cast<uint32_t>(ParseUnsigned(o.length, 0, kTransferLimit, "length"));
  CheckSpan(offset, length);
  Open(context);
  const std::vector<uint8_t> data = ReadArea(area, offset, length);
  if (!o.out.empty()) {
    WriteFileBytes(o.out, data);
    if (!context.json && !o.raw) {
      PrintText("read " + std::to_string(data.size()) + " bytes of area " + std::to_string(area) + " into " + o.out +
                "\n");
      return kExitOk;
    }
  }
  if (o.raw) {
    if (o.out.empty()) WriteStandardOutput(data);
    return kExitOk;
  }
  if (o.out.empty() || context.json) PrintBytes(context, "data", area, offset, data);
  return kExitOk;
}

struct WriteOptions {
  std::string area, offset;
  InputOptions input;
};

int WriteData(const Context &context, const WriteOptions &o) {
  const uint8_t area = ParseArea(o.area);
  const uint32_t offset = static_cast<uint32_t>(ParseUnsigned(o.offset, 0, kOffsetMax, "offset"));
  if (area == KLIA_AREA_LOG && offset == KLIA_APPEND_OFFSET) {
    throw UsageError("area 3 at offset 65535 appends a log record: use 'klia log append'");
  }
  const std::vector<uint8_t> data = ReadInput(o.input, kTransferLimit, false);
  CheckSpan(offset, data.size());
  Open(context);
  WriteArea(area, offset, data);
  PrintText("wrote " + std::to_string(data.size()) + " bytes to area " + std::to_string(area) + " at offset " +
            std::to_string(offset) + "\n");
  return kExitOk;
}

// log clear / append / dump

int ClearLog(const Context &context) {
  Open(context);
  Require(KLIAClearLog(), "KLIAClearLog",
          "the board refused to clear the log; this operation records no code of its own, so the codes above are "
          "those of the previous operation");
  const Info info = DecodeInfo(ReadInfo());
  PrintText("log cleared; " + std::to_string(info.LogUsedBytes()) + " of " + std::to_string(info.LogAreaBytes()) +
            " bytes in use\n");
  return kExitOk;
}

int AppendLog(const Context &context, const InputOptions &input) {
  const std::vector<uint8_t> record = ReadInput(input, kLogRecordMax, true);
  if (record.empty()) throw UsageError("log append: the record is empty");
  Open(context);
  uint16_t done = 0;
  Require(KLIAWriteDataEx(KLIA_AREA_LOG, record.data(), KLIA_APPEND_OFFSET, static_cast<uint16_t>(record.size()),
                          &done),
          "KLIAWriteDataEx(area 3, append " + std::to_string(record.size()) + " bytes)",
          "the board refused the log record (is the log full, or the board not formatted?); a log append records "
          "no code of its own");
  const Info info = DecodeInfo(ReadInfo());
  PrintText("appended " + std::to_string(record.size()) + " bytes to the log; " + std::to_string(info.LogUsedBytes()) +
            " of " + std::to_string(info.LogAreaBytes()) + " bytes in use\n");
  return kExitOk;
}

int DumpLog(const Context &context, bool all) {
  Open(context);
  const Info info = DecodeInfo(ReadInfo());
  uint32_t length = all ? info.LogAreaBytes() : info.LogUsedBytes();
  if (length > info.LogAreaBytes()) length = info.LogAreaBytes();
  const std::vector<uint8_t> data = ReadArea(KLIA_AREA_LOG, 0, length);
  PrintBytes(context, all ? "log area" : "log in use", KLIA_AREA_LOG, 0, data,
             {{"log_area_bytes", info.LogAreaBytes()}, {"log_used_bytes", info.LogUsedBytes()}});
  return kExitOk;
}

// config get / set

void PrintConfig(const Context &context, const ConfigBytes &record) {
  if (context.json) {
    PrintJson(RecordJson(ConfigFields(), record.data()));
  } else {
    PrintText("Configuration record\n" + RecordText(ConfigFields(), record.data()));
  }
}

// False when the board holds no valid record; throws when the area could not be read.
bool ReadConfig(ConfigBytes &record) {
  if (Succeeded(KLIAReadConfigData(record.data()))) return true;
  const ErrorState state = ReadErrorState();
  if (state.last_error != 0) throw BoardFailure("KLIAReadConfigData", state);
  return false;
}

int GetConfig(const Context &context) {
  Open(context);
  ConfigBytes record{};
  if (!ReadConfig(record)) {
    throw NothingStored("no valid configuration record is stored (erased, all zero, or a check byte does not match)");
  }
  PrintConfig(context, record);
  return kExitOk;
}

int SetConfig(const Context &context, const std::map<std::string, std::string> &fields) {
  if (fields.empty()) throw UsageError("config set: give at least one field to change (see --help)");
  ConfigBytes scratch{};
  for (const RecordField &field : ConfigFields()) {
    auto typed = fields.find(field.name);
    if (typed != fields.end()) ApplyField(field, typed->second, scratch.data());
  }
  Open(context);
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
  if (!context.json) PrintText(note + "configuration written; the board now holds:\n");
  PrintConfig(context, stored);
  return kExitOk;
}

// hwstep get / set

uint8_t ReadHwStep() {
  uint8_t step = 0;
  if (Succeeded(KLIAReadHwStep(&step))) return step;
  if (step == kHwStepNoneStored) throw NothingStored("no hardware step is stored on this board");
  throw BoardFailure("KLIAReadHwStep", ReadErrorState());
}

void PrintHwStep(const Context &context, uint8_t step) {
  if (context.json) {
    PrintJson({{"hwstep", step}});
  } else {
    PrintText("hardware step " + std::to_string(step) + "\n");
  }
}

int GetHwStep(const Context &context) {
  Open(context);
  PrintHwStep(context, ReadHwStep());
  return kExitOk;
}

int SetHwStep(const Context &context, const std::string &text) {
  const uint8_t step = static_cast<uint8_t>(ParseUnsigned(text, 0, 0xFF, "hardware step"));
  Open(context);
  Require(KLIAWriteHwStep(step), "KLIAWriteHwStep");
  PrintHwStep(context, ReadHwStep());
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
  read->add_option("area", read_options->area, "area number")->required();
  read->add_option("offset", read_options->offset, "byte offset in the area")->required();
  read->add_option("length", read_options->length, "number of bytes")->required();
  read->add_flag("--raw", read_options->raw, "write the raw bytes to standard output");
  read->add_option("--out", read_options->out, "write the raw bytes to FILE");
  read->callback([&context, read_options] {
    context.run = [&context, read_options] { return ReadData(context, *read_options); };
  });

  auto write_options = std::make_shared<WriteOptions>();
  CLI::App *write = data->add_subcommand("write", "Write bytes into an area (then flush them to the board)");
  write->add_option("area", write_options->area, "area number")->required();
  write->add_option("offset", write_options->offset, "byte offset in the area")->required();
  AddInputOptions(write, write_options->input, false);
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
  CLI::App *dump = log->add_subcommand("dump", "Show the log area in hex (the part in use, or --all)");
  dump->add_flag("--all", *dump_all, "the whole log area, not only the part in use");
  dump->callback([&context, dump_all] { context.run = [&context, dump_all] { return DumpLog(context, *dump_all); }; });

  CLI::App *config = app.add_subcommand("config", "The configuration record (14 fields)");
  config->require_subcommand(1);
  CLI::App *get = config->add_subcommand("get", "Show the configuration record");
  get->callback([&context] { context.run = [&context] { return GetConfig(context); }; });
  auto config_fields = std::make_shared<std::map<std::string, std::string>>();
  CLI::App *set = config->add_subcommand("set", "Change fields of the configuration record; the others are kept");
  for (const RecordField &field : ConfigFields()) {
    const std::string name = field.name;
    set->add_option_function<std::string>(
        "--" + name, [config_fields, name](const std::string &value) { (*config_fields)[name] = value; }, field.help);
  }
  set->callback([&context, config_fields] {
    context.run = [&context, config_fields] { return SetConfig(context, *config_fields); };
  });

  CLI::App *hwstep = app.add_subcommand("hwstep", "The hardware-step value");
  hwstep->require_subcommand(1);
  CLI::App *hw_get = hwstep->add_subcommand("get", "Show the hardware step");
  hw_get->callback([&context] { context.run = [&context] { return GetHwStep(context); }; });
  auto step = std::make_shared<std::string>();
  CLI::App *hw_set = hwstep->add_subcommand("set", "Store the hardware step");
  hw_set->add_option("step", *step, "step value, 0-255")->required();
  hw_set->callback([&context, step] { context.run = [&context, step] { return SetHwStep(context, *step); }; });
}

}  // namespace klia
