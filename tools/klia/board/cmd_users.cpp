// klia user current|read|write|list|password, login, logout, xid.
#include <algorithm>
#include <map>
#include <memory>

#include <CLI/CLI.hpp>

#include "board/commands.h"
#include "library/board_failure.h"
#include "shell/app.h"
#include "library/board_session.h"
#include "shell/command_line.h"
#include "platform/platform.h"
#include "shell/errors.h"
#include "shell/output.h"
#include "shell/process.h"
#include "board/record_view.h"
#include "shell/secret_input.h"
#include "shell/text_input.h"

namespace klia {
namespace {

constexpr size_t kLogonBlockSize = 8;
constexpr size_t kPasswordBlockSize = 16;
constexpr size_t kXidSize = 4;
constexpr size_t kXidDataMax = 255;

// Statuses of a password change, as the operation keeps them in LastError.
constexpr uint16_t kTransportFailed = 255;  // the transport call made no exchange
constexpr uint16_t kNobodyLoggedOnStatus = 0x50;
constexpr uint16_t kWrongPasswordStatus = 0x60;

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
  Open(context, Access::kRead);
  const CurrentUser current = ReadCurrentUser();
  Emit(CurrentUserText(current), CurrentUserJson(current));
  return kExitOk;
}

// A user record as text or JSON; `lead` goes before the text.
void PrintUser(uint16_t user, const UserBytes &record, const std::string &lead = "") {
  const bool in_use = !UserRecordLooksErased(record);
  nlohmann::json json = RecordJson(UserFields(), record.data());
  json["user"] = user;
  json["in_use"] = in_use;
  Emit(lead + "User " + std::to_string(user) + (in_use ? " (in use)" : " (not in use: never written, or deleted)") +
           "\n" + RecordText(UserFields(), record.data()),
       json);
}

int ReadUserCommand(const Context &context, const std::string &number) {
  uint16_t user = ParseUserNumber(number);
  Open(context, Access::kRead);
  user = ResolveUserNumber(user);
  PrintUser(user, ReadUser(user));
  return kExitOk;
}

struct WriteOptions {
  std::string number;
  std::map<std::string, std::string> fields;  // option name -> typed value, in table order
  SecretValue key{"user's key", kLogonBlockSize, "--key", "--key-file"};                 // bytes 28-35
  SecretValue password{"user's password", kLogonBlockSize, "--password", "--password-file"};  // bytes 36-43
  bool blank = false;
  WriteOptions() {
    // Each block changes only when given: neither is asked for unless its file is -.
    key.needed = false;
    password.needed = false;
  }
};

// The key and the password are the logon blocks, 8 bytes each, kept in the four DATA fields
// from byte 28: the board compares them with the two blocks of a logon. A block given refuses
// those fields given too, before the block is read or asked for.
void CheckLogonBlockFields(const SecretValue &block, const char *first_field, const char *second_field,
                           const std::map<std::string, std::string> &fields) {
  if (!block.typed_given && !block.file_given) return;
  for (const char *field : {first_field, second_field}) {
    if (fields.count(field) != 0) {
      throw UsageError((block.typed_given ? block.argument : block.file_option) + " sets --" + field +
                       " already: give one or the other");
    }
  }
}

void SplitLogonBlock(const SecretValue &block, const char *first_field, const char *second_field,
                     std::map<std::string, std::string> &fields) {
  if (!block.present()) return;
  fields[first_field] = ToHex(block.bytes.data(), 4);
  fields[second_field] = ToHex(block.bytes.data() + 4, 4);
}

// The key (the first logon block, bytes 28-35) as eight 0xFF bytes: what erased memory holds,
// and what the virtual board takes as naming nobody at logon.
bool KeyNamesNobody(const UserBytes &record) {
  return std::all_of(record.begin() + KLIA_USER_DATA28, record.begin() + KLIA_USER_DATA28 + kLogonBlockSize,
                     [](uint8_t b) { return b == 0xFF; });
}

int WriteUserCommand(const Context &context, WriteOptions &options) {
  uint16_t user = ParseUserNumber(options.number);
  CheckLogonBlockFields(options.key, "data28", "data32", options.fields);
  CheckLogonBlockFields(options.password, "data36", "data40", options.fields);
  const bool blocks_given = options.key.typed_given || options.key.file_given || options.password.typed_given ||
                            options.password.file_given;
  if (options.fields.empty() && !blocks_given && !options.blank) {
    throw UsageError("user write: give at least one field to change, or --blank (see --help)");
  }
  ObtainSecrets("user write", {&options.key, &options.password});
  SplitLogonBlock(options.key, "data28", "data32", options.fields);
  SplitLogonBlock(options.password, "data36", "data40", options.fields);
  // Every typed value is checked before the board is touched.
  UserBytes scratch{};
  for (const RecordField &field : UserFields()) {
    auto typed = options.fields.find(field.name);
    if (typed != options.fields.end()) ApplyField(field, typed->second, scratch.data());
  }
  Open(context, Access::kWrite);
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
  if (KeyNamesNobody(record)) {
    Notice("warning: user " + std::to_string(user) +
           "'s key is eight 0xFF bytes, what erased memory holds: the virtual board takes a logon with that key as "
           "naming nobody, so this user can never log on to it; give another key with --key-file");
  }
  PrintUser(user, ReadUser(user), note + "wrote user " + std::to_string(user) + "; the board now holds:\n");
  return kExitOk;
}

// The caller record that erased memory reads as: strings of twelve 0xFF characters, DATA
// fields 0xFF, the flags that erased bits read as. Written back, it reads as a record not in
// use. The stored bytes are not erased memory (the library stores some flag bits its own way,
// so the virtual board counts the record as in use), but its key is eight 0xFF bytes, which
// the virtual board takes as naming nobody at logon.
UserBytes ErasedUserRecord() {
  UserBytes record;
  record.fill(0xFF);
  for (const RecordField &field : UserFields()) {
    uint8_t *p = record.data() + field.offset;
    switch (field.kind) {
      case FieldKind::kString: p[0] = KLIA_USER_STRING_MAX; break;
      case FieldKind::kFlag: p[0] = 1; break;
      case FieldKind::kFlags8:
        for (int k = 0; k < 8; ++k) p[k] = 1;
        break;
      default: break;
    }
  }
  // Stored inverted, so erased memory reads 0.
  record[KLIA_USER_FLAG114] = 0;
  record[KLIA_USER_NIBBLE115] = 0;
  return record;
}

struct DeleteOptions {
  std::string number;
  bool yes = false;
};

int DeleteUser(const Context &context, const DeleteOptions &options) {
  const uint16_t number = ParseUserNumber(options.number);
  if (number == 0) throw UsageError("user delete: name the user by number (1 to UserCount), not 0");
  Open(context, Access::kWrite);
  const uint16_t user = ResolveUserNumber(number);
  const UserBytes before = ReadUser(user);
  if (UserRecordLooksErased(before)) {
    Emit("user " + std::to_string(user) + " is not in use (never written, or deleted already): nothing to delete\n",
         {{"user", user}, {"in_use", false}, {"deleted", false}});
    return kExitOk;
  }
  ConfirmDestruction("user delete overwrites user " + std::to_string(user) + " (" +
                         FieldText(FieldNamed(UserFields(), "name"), before.data()) + ") with an erased record",
                     options.yes, "Delete?", "not deleted: nothing was changed");
  Require(KLIAWriteUserData(user, ErasedUserRecord().data()), "KLIAWriteUserData(" + std::to_string(user) + ")");
  PrintUser(user, ReadUser(user), "deleted user " + std::to_string(user) + "; the board now holds:\n");
  return kExitOk;
}

int ListUsers(const Context &context) {
  Open(context, Access::kRead);
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
                    {"access_word", entry["access_word"]}});  // as 'user read' gives it
    char line[64];
    std::snprintf(line, sizeof line, "%5u  ", user);
    text += line + FieldText(FieldNamed(UserFields(), "name"), record.data()) + "  " +
            FieldText(FieldNamed(UserFields(), "name2"), record.data()) + "  access " +
            FieldText(FieldNamed(UserFields(), "access-word"), record.data()) + "\n";
  }
  Emit(std::to_string(list.size()) + " of " + std::to_string(info.user_count) + " users in use\n" + text,
       {{"user_count", info.user_count}, {"users", list}});
  return kExitOk;
}

struct LoginOptions {
  SecretValue key{"logon key", kLogonBlockSize, "KEY", "--key-file"};            // the first logon block
  SecretValue password{"password", kLogonBlockSize, "PASSWORD", "--password-file"};  // the second
};

int Login(const Context &context, LoginOptions &options) {
  ObtainSecrets("login", {&options.key, &options.password});
  Open(context, Access::kWrite);
  if (!Succeeded(KLIALogin(options.key.bytes.data(), options.password.bytes.data(), 0))) {
    const ErrorState state = ReadErrorState();
    if (!state.reported) throw BoardFailure("KLIALogin", state);  // no status to explain
    std::string note;
    switch (state.device_status) {
      case 0x50: note = "no user in use holds this key: check it with 'klia user read N'"; break;
      case 0x60: note = "the key names a user, but the password block differs"; break;
      case 0x61: note = "someone is logged on already: 'klia logout' first"; break;
      case 0x30: note = "the board's database is not ready: format it with 'klia format'"; break;
      default:
        note = "for this board status the library sets no code of its own: LastError is left from an earlier "
               "operation";
    }
    throw BoardFailure("KLIALogin", state, note);
  }
  const CurrentUser current = ReadCurrentUser();
  Emit(CurrentUserText(current), CurrentUserJson(current));
  return kExitOk;
}

int Logout(const Context &context) {
  Open(context, Access::kWrite);
  KLIALogout();
  const CurrentUser current = ReadCurrentUser();
  Emit(CurrentUserText(current), CurrentUserJson(current));
  return kExitOk;
}

struct PasswordOptions {
  std::string number;
  SecretValue block{"password block", kPasswordBlockSize, "--block", "--block-file"};
  PasswordOptions() { block.parts = {"current password", "new password"}; }
};

int ChangePassword(const Context &context, PasswordOptions &options) {
  uint16_t user = ParseUserNumber(options.number);
  ObtainSecrets("user password", {&options.block});
  const std::vector<uint8_t> &block = options.block.bytes;
  Open(context, Access::kWrite);
  // The board changes the password of the logged-on user only.
  const CurrentUser current = ReadCurrentUser();
  if (current.user == 0) {
    throw Failure("logon", "nobody is logged on: the board changes only the logged-on user's password; log the user "
                           "on first with 'klia login'");
  }
  if (user != 0 && user != current.user) {
    throw Failure("logon", "user " + std::to_string(user) + " is not the logged-on user (user " +
                               std::to_string(current.user) +
                               " is); the board changes only the logged-on user's password: 'klia logout', then "
                               "'klia login' as user " + std::to_string(user));
  }
  user = ResolveUserNumber(current.user);
  const std::string operation = "KLIAChangeUserPassword(" + std::to_string(user) + ")";
  if (!Succeeded(KLIAChangeUserPassword(user, block.data()))) {
    // The operation keeps the board's own status in LastError; 255 is the library's word for
    // a transport call that made no exchange, so the board never saw the block.
    const ErrorState state = ReadErrorState();
    std::string note;
    if (!state.reported) {
      note = "the board refused the block, or the transport made no exchange: the library does not say which";
    } else if (state.last_error == kTransportFailed) {
      note = "the block was never sent: the transport made no exchange with the board, so the password is "
             "unchanged; check the board's connection and try again";
    } else if (state.last_error == kWrongPasswordStatus) {
      note = "the board refused the block: its first 8 bytes must be the current password";
    } else if (state.last_error == kNobodyLoggedOnStatus) {
      note = "the board says nobody is logged on (the logon ended meanwhile): 'klia login', then try again";
    } else {
      note = "the board refused the block; the password is unchanged";
    }
    throw BoardFailure(operation, state, note);
  }
  Emit("password block accepted for user " + std::to_string(user) + "\n", {{"user", user}, {"password_changed", true}});
  return kExitOk;
}

struct XidOptions {
  std::string hex;
  std::string text;
  int given = 0;  // how many of --hex and --text are on the command line
};

int MakeXid(const Context &context, const XidOptions &options) {
  std::vector<uint8_t> data;
  if (options.given != 1) throw UsageError("xid: give the data with one of --hex and --text");
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
  Open(context, Access::kRead);
  uint8_t xid[kXidSize] = {};
  Require(KLIAMakeUserXID(static_cast<uint16_t>(data.size()), data.data(), xid), "KLIAMakeUserXID");
  char value[16];
  std::snprintf(value, sizeof value, "0x%08X", GetLe32(xid));
  Emit("XID " + ToHex(xid, kXidSize) + "  (as a little-endian number " + value + ") of " +
           std::to_string(data.size()) + " bytes\n",
       {{"length", data.size()}, {"xid", ToHex(xid, kXidSize)}, {"value", GetLe32(xid)}});
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
  read->add_option("number", *read_number, "user number, 1 to UserCount (0 = the logged-on user)")
      ->type_name(kNumberLabel)
      ->required();
  read->callback([&context, read_number] {
    context.run = [&context, read_number] { return ReadUserCommand(context, *read_number); };
  });

  auto write_options = std::make_shared<WriteOptions>();
  CLI::App *write = users->add_subcommand(
      "write", "Write a user record: the fields given change, the others keep what the board holds");
  write->add_option("number", write_options->number, "user number, 1 to UserCount (0 = the logged-on user)")
      ->type_name(kNumberLabel)
      ->required();
  AddSecretOptions(write,
                   write->add_option("--key", write_options->key.typed,
                                     "the user's key: 8 bytes (16 hex digits), the first logon block; seen by other "
                                     "users of this computer, prefer --key-file")
                       ->type_name(kHexLabel),
                   write_options->key);
  AddSecretOptions(write,
                   write->add_option("--password", write_options->password.typed,
                                     "the user's password: 8 bytes (16 hex digits), the second logon block; seen by "
                                     "other users of this computer, prefer --password-file")
                       ->type_name(kHexLabel),
                   write_options->password);
  AddFieldOptions(write, UserFields(), write_options->fields);
  write->add_flag("--blank", write_options->blank, "start from an empty record instead of the stored one");
  write->footer("A key or password file holds the value alone, in hex; with - it is read from standard input, one "
                "value a line (the key first), or asked for without echo on a terminal.");
  write->callback([&context, write_options] {
    context.run = [&context, write_options] { return WriteUserCommand(context, *write_options); };
  });

  auto delete_options = std::make_shared<DeleteOptions>();
  CLI::App *remove = users->add_subcommand(
      "delete",
      "Delete a user: overwrite the record with what an erased one reads as (names, key and password 0xFF)");
  remove->footer(
      "The record then reads as not in use. Its key is eight 0xFF bytes, which the virtual board takes as naming "
      "nobody, so nobody can log on as the deleted user. A user not in use is left alone.");
  remove->add_option("number", delete_options->number, "user number, 1 to UserCount")
      ->type_name(kNumberLabel)
      ->required();
  remove->add_flag("--yes", delete_options->yes, "do not ask for confirmation (needed off a terminal)");
  remove->callback([&context, delete_options] {
    context.run = [&context, delete_options] { return DeleteUser(context, *delete_options); };
  });

  CLI::App *list = users->add_subcommand("list", "List the users whose records are in use (not erased)");
  list->callback([&context] { context.run = [&context] { return ListUsers(context); }; });

  auto password_options = std::make_shared<PasswordOptions>();
  CLI::App *password = users->add_subcommand(
      "password", "Change a user's password with a 16-byte block: the current password, then the new one");
  password->add_option("number", password_options->number, "the logged-on user's number (0 = whoever is logged on)")
      ->type_name(kNumberLabel)
      ->required();
  AddSecretOptions(password,
                   password->add_option("--block", password_options->block.typed,
                                        "16 bytes hex: the current password, then the new one; seen by other users "
                                        "of this computer, prefer --block-file")
                       ->type_name(kHexLabel),
                   password_options->block);
  password->footer("Without --block or --block-file, klia asks on the terminal, without echo, for the current "
                   "password and for the new one twice; off a terminal give --block-file (- reads standard input). "
                   "The file holds the block alone, in hex.");
  password->callback([&context, password_options] {
    context.run = [&context, password_options] { return ChangePassword(context, *password_options); };
  });

  auto login_options = std::make_shared<LoginOptions>();
  CLI::App *login = app.add_subcommand("login", "Log a user on with two 8-byte logon blocks: the key and the password");
  CLI::Option *key = login->add_option("key", login_options->key.typed,
                                       "first logon block: the user's key, 8 bytes hex (seen by other users of this "
                                       "computer: prefer --key-file, or leave it out to be asked)")
                         ->type_name(kHexLabel);
  CLI::Option *secret = login->add_option("password", login_options->password.typed,
                                          "second logon block: the password, 8 bytes hex (seen by other users of "
                                          "this computer: prefer --password-file, or leave it out to be asked)")
                            ->type_name(kHexLabel);
  AddSecretOptions(login, key, login_options->key);
  AddSecretOptions(login, secret, login_options->password);
  login->footer("Without KEY and PASSWORD, klia asks for them on the terminal, without echo; off a terminal give "
                "--key-file and --password-file. A file holds the value alone, in hex (whitespace and a final "
                "newline do not count); - reads standard input, where the key and the password, when both come "
                "from it, are one line each, the key first.");
  login->callback([&context, login_options] {
    context.run = [&context, login_options] { return Login(context, *login_options); };
  });

  CLI::App *logout = app.add_subcommand("logout", "End the board's logon");
  logout->callback([&context] { context.run = [&context] { return Logout(context); }; });

  auto xid_options = std::make_shared<XidOptions>();
  CLI::App *xid = app.add_subcommand("xid", "Have the board derive a 4-byte user XID from data");
  const auto count = [xid_options](const std::string &) { ++xid_options->given; };
  xid->add_option("--hex", xid_options->hex, "the data as hex, up to 255 bytes")->type_name(kHexLabel)->each(count);
  xid->add_option("--text", xid_options->text, "the data as text, stored in code page 866")
      ->type_name(kTextLabel)
      ->each(count);
  xid->footer("Give one of --hex and --text.");
  xid->callback([&context, xid_options] {
    context.run = [&context, xid_options] { return MakeXid(context, *xid_options); };
  });
}

}  // namespace klia
