// klia user current|read|write|list|password, login, logout, xid.
#include <map>
#include <memory>

#include <CLI/CLI.hpp>

#include "app.h"
#include "board_session.h"
#include "cp866.h"
#include "errors.h"
#include "output.h"
#include "record_view.h"
#include "text_input.h"

namespace klia {
namespace {

constexpr size_t kLogonBlockSize = 8;
constexpr size_t kPasswordBlockSize = 16;
constexpr size_t kXidSize = 4;
constexpr size_t kXidDataMax = 255;

uint16_t ParseUserNumber(const std::string &text) {
  return static_cast<uint16_t>(ParseUnsigned(text, 0, 0xFFFF, "user number"));
}

struct CurrentUser {
  uint16_t user = 0;
  uint8_t flag = 0;
};

CurrentUser ReadCurrentUser() {
  CurrentUser current;
  Require(KLIAGetCurrentUser(&current.user, &current.flag), "KLIAGetCurrentUser");
  return current;
}

// Turns 0 into the logged-on user and checks the number against the board's user count,
// before any user command is sent.
uint16_t ResolveUserNumber(uint16_t user) {
  const Info info = DecodeInfo(ReadInfo());
  if (user == 0) {
    user = ReadCurrentUser().user;
    if (user == 0) throw UsageError("user 0 stands for the logged-on user, and nobody is logged on");
  }
  if (user > info.user_count) {
    throw UsageError("user " + std::to_string(user) + " is out of range: this board has users 1 to " +
                     std::to_string(info.user_count));
  }
  return user;
}

UserBytes ReadUser(uint16_t user) {
  UserBytes record{};
  Require(KLIAReadUserData(user, record.data()), "KLIAReadUserData(" + std::to_string(user) + ")");
  return record;
}

std::string CurrentUserText(const CurrentUser &current) {
  if (current.user == 0) return "nobody is logged on\n";
  return "logged on: user " + std::to_string(current.user) + (current.flag != 0 ? " (flag set)\n" : " (flag clear)\n");
}

nlohmann::json CurrentUserJson(const CurrentUser &current) {
  return {{"user", current.user}, {"flag", current.flag}, {"logged_on", current.user != 0}};
}

int ShowCurrentUser(const Context &context) {
  Open(context);
  const CurrentUser current = ReadCurrentUser();
  if (context.json) {
    PrintJson(CurrentUserJson(current));
  } else {
    PrintText(CurrentUserText(current));
  }
  return kExitOk;
}

void PrintUser(const Context &context, uint16_t user, const UserBytes &record) {
  if (context.json) {
    nlohmann::json json = RecordJson(UserFields(), record.data());
    json["user"] = user;
    PrintJson(json);
  } else {
    PrintText("User " + std::to_string(user) + "\n" + RecordText(UserFields(), record.data()));
  }
}

int ReadUserCommand(const Context &context, const std::string &number) {
  uint16_t user = ParseUserNumber(number);
  Open(context);
  user = ResolveUserNumber(user);
  PrintUser(context, user, ReadUser(user));
  return kExitOk;
}

struct WriteOptions {
  std::string number;
  std::map<std::string, std::string> fields;  // option name -> typed value, in table order
  bool blank = false;
};

int WriteUserCommand(const Context &context, const WriteOptions &options) {
  uint16_t user = ParseUserNumber(options.number);
  if (options.fields.empty() && !options.blank) {
    throw UsageError("user write: give at least one field to change, or --blank (see --help)");
  }
  // Every typed value is checked before the board is touched.
  UserBytes scratch{};
  for (const RecordField &field : UserFields()) {
    auto typed = options.fields.find(field.name);
    if (typed != options.fields.end()) ApplyField(field, typed->second, scratch.data());
  }
  Open(context);
  user = ResolveUserNumber(user);
  UserBytes record{};
  std::string note;
  if (!options.blank) {
    record = ReadUser(user);
    if (UserRecordLooksErased(record)) {
      record = UserBytes{};
      note = "user " + std::to_string(user) + " was not in use: the fields not given start empty\n";
    }
  }
  for (const RecordField &field : UserFields()) {
    auto typed = options.fields.find(field.name);
    if (typed != options.fields.end()) ApplyField(field, typed->second, record.data());
  }
  Require(KLIAWriteUserData(user, record.data()), "KLIAWriteUserData(" + std::to_string(user) + ")");
  const UserBytes stored = ReadUser(user);
  if (!context.json) PrintText(note + "wrote user " + std::to_string(user) + "; the board now holds:\n");
  PrintUser(context, user, stored);
  return kExitOk;
}

int ListUsers(const Context &context) {
  Open(context);
  const Info info = DecodeInfo(ReadInfo());
  nlohmann::json list = nlohmann::json::array();
  std::string text;
  for (uint32_t user = 1; user <= info.user_count; ++user) {
    const UserBytes record = ReadUser(static_cast<uint16_t>(user));
    if (UserRecordLooksErased(record)) continue;
    nlohmann::json entry = RecordJson(UserFields(), record.data());
    list.push_back({{"user", user},
                    {"name", entry["name"]},
                    {"name2", entry["name2"]},
                    {"access_word", entry["access-word"]["value"]}});
    char line[64];
    std::snprintf(line, sizeof line, "%5u  ", user);
    text += line + FieldText(FieldNamed(UserFields(), "name"), record.data()) + "  " +
            FieldText(FieldNamed(UserFields(), "name2"), record.data()) + "  access " +
            FieldText(FieldNamed(UserFields(), "access-word"), record.data()) + "\n";
  }
  if (context.json) {
    PrintJson({{"user_count", info.user_count}, {"users", list}});
  } else {
    PrintText(std::to_string(list.size()) + " of " + std::to_string(info.user_count) + " users in use\n" + text);
  }
  return kExitOk;
}

int Login(const Context &context, const std::string &first_text, const std::string &second_text) {
  const auto first = ParseHexExactly(first_text, kLogonBlockSize, "first logon block");
  const auto second = ParseHexExactly(second_text, kLogonBlockSize, "second logon block");
  Open(context);
  if (!Succeeded(KLIALogin(first.data(), second.data(), 0))) {
    const ErrorState state = ReadErrorState();
    std::string note;
    if (state.device_status != 0x50 && state.device_status != 0x60 && state.device_status != 0x61) {
      note = "for this board status the library sets no code of its own: LastError is left from an earlier operation";
    }
    throw BoardFailure("KLIALogin", state, note);
  }
  const CurrentUser current = ReadCurrentUser();
  if (context.json) {
    PrintJson(CurrentUserJson(current));
  } else {
    PrintText(CurrentUserText(current));
  }
  return kExitOk;
}

int Logout(const Context &context) {
  Open(context);
  KLIALogout();
  const CurrentUser current = ReadCurrentUser();
  if (context.json) {
    PrintJson(CurrentUserJson(current));
  } else {
    PrintText(CurrentUserText(current));
  }
  return kExitOk;
}

int ChangePassword(const Context &context, const std::string &number, const std::string &block_text) {
  uint16_t user = ParseUserNumber(number);
  const auto block = ParseHexExactly(block_text, kPasswordBlockSize, "--block");
  Open(context);
  user = ResolveUserNumber(user);
  Require(KLIAChangeUserPassword(user, block.data()), "KLIAChangeUserPassword(" + std::to_string(user) + ")");
  PrintText("password block accepted for user " + std::to_string(user) + "\n");
  return kExitOk;
}

struct XidOptions {
  std::string hex;
  std::string text;
};

int MakeXid(const Context &context, const XidOptions &options) {
  std::vector<uint8_t> data;
  if (!options.hex.empty() && !options.text.empty()) throw UsageError("xid: give --hex or --text, not both");
  if (!options.text.empty()) {
    const auto bytes = TerminalToCp866(options.text);
    if (!bytes) throw UsageError("--text: \"" + options.text + "\" has characters that code page 866 cannot hold");
    data.assign(bytes->begin(), bytes->end());
  } else {
    data = ParseHex(options.hex, "--hex");
  }
  if (data.size() > kXidDataMax) {
    throw UsageError("xid: " + std::to_string(data.size()) + " bytes of data; the board takes at most 255");
  }
  Open(context);
  uint8_t xid[kXidSize] = {};
  Require(KLIAMakeUserXID(static_cast<uint16_t>(data.size()), data.data(), xid), "KLIAMakeUserXID");
  if (context.json) {
    PrintJson({{"length", data.size()}, {"xid", ToHex(xid, kXidSize)}, {"value", GetLe32(xid)}});
  } else {
    char value[16];
    std::snprintf(value, sizeof value, "0x%08X", GetLe32(xid));
    PrintText("XID " + ToHex(xid, kXidSize) + "  (as a little-endian number " + value + ") of " +
              std::to_string(data.size()) + " bytes\n");
  }
  return kExitOk;
}

}  // namespace

void AddUserCommands(CLI::App &app, Context &context) {
  CLI::App *users = app.add_subcommand("user", "Read, write and list user records; the logged-on user");
  users->require_subcommand(1);

  CLI::App *current = users->add_subcommand("current", "Show the logged-on user");
  current->callback([&context] { context.run = [&context] { return ShowCurrentUser(context); }; });

  auto read_number = std::make_shared<std::string>();
  CLI::App *read = users->add_subcommand("read", "Show a user record, every field decoded");
  read->add_option("number", *read_number, "user number, 1 to UserCount (0 = the logged-on user)")->required();
  read->callback([&context, read_number] {
    context.run = [&context, read_number] { return ReadUserCommand(context, *read_number); };
  });

  auto write_options = std::make_shared<WriteOptions>();
  CLI::App *write = users->add_subcommand(
      "write", "Write a user record: the fields given change, the others keep what the board holds");
  write->add_option("number", write_options->number, "user number, 1 to UserCount (0 = the logged-on user)")
      ->required();
  for (const RecordField &field : UserFields()) {
    const std::string name = field.name;
    write->add_option_function<std::string>(
        "--" + name, [write_options, name](const std::string &value) { write_options->fields[name] = value; },
        field.help);
  }
  write->add_flag("--blank", write_options->blank, "start from an empty record instead of the stored one");
  write->callback([&context, write_options] {
    context.run = [&context, write_options] { return WriteUserCommand(context, *write_options); };
  });

  CLI::App *list = users->add_subcommand("list", "List the users whose records are in use (not erased)");
  list->callback([&context] { context.run = [&context] { return ListUsers(context); }; });

  auto password_number = std::make_shared<std::string>();
  auto password_block = std::make_shared<std::string>();
  CLI::App *password = users->add_subcommand("password", "Change a user's password with a 16-byte block");
  password->add_option("number", *password_number, "user number (0 = the logged-on user)")->required();
  password->add_option("--block", *password_block, "the 16-byte password block, hex")->required();
  password->callback([&context, password_number, password_block] {
    context.run = [&context, password_number, password_block] {
      return ChangePassword(context, *password_number, *password_block);
    };
  });

  auto first = std::make_shared<std::string>();
  auto second = std::make_shared<std::string>();
  CLI::App *login = app.add_subcommand("login", "Log a user on with two 8-byte logon blocks");
  login->add_option("first", *first, "first logon block, 8 bytes hex")->required();
  login->add_option("second", *second, "second logon block, 8 bytes hex")->required();
  login->callback([&context, first, second] {
    context.run = [&context, first, second] { return Login(context, *first, *second); };
  });

  CLI::App *logout = app.add_subcommand("logout", "End the board's logon");
  logout->callback([&context] { context.run = [&context] { return Logout(context); }; });

  auto xid_options = std::make_shared<XidOptions>();
  CLI::App *xid = app.add_subcommand("xid", "Have the board derive a 4-byte user XID from data");
  auto *hex = xid->add_option("--hex", xid_options->hex, "the data as hex (up to 255 bytes)");
  auto *text = xid->add_option("--text", xid_options->text, "the data as text (stored in code page 866)");
  hex->excludes(text);
  xid->require_option(1);
  xid->callback([&context, xid_options] {
    context.run = [&context, xid_options] { return MakeXid(context, *xid_options); };
  });
}

}  // namespace klia
