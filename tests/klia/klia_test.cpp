// klia run as a separate process, the way an administrator or a script runs it: each test
// works on its own board image in a temporary folder.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "process_helpers.h"

namespace {

namespace fs = std::filesystem;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;

using namespace process_helpers;

class KliaTool : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = MakeTemporaryFolder("klia-test");
    image_ = folder_ / "board.img";
  }
  void TearDown() override { RemoveFolder(folder_); }

  // klia --board <image> args..., with the environment of a fresh shell for the board.
  Outcome Invoke(const std::vector<std::string> &args, const std::string &stdin_file = "") {
    std::vector<std::string> with_board = {"--board", image_.string()};
    with_board.insert(with_board.end(), args.begin(), args.end());
    return Run(with_board, stdin_file.empty() ? "" : " <" + Quoted(stdin_file));
  }

  // klia args... as it is, with `redirections` (shell syntax) after the usual ones for
  // standard output and error, and `environment` (NAME=value ...) before it. Standard input is
  // the null device unless redirected.
  Outcome Run(const std::vector<std::string> &args, const std::string &redirections = "",
              const std::string &environment = "", const std::string &prefix = "") {
    return RunCaptured("env -u HWLINK_VBOARD_GEOMETRY -u HWLINK_VBOARD_IMAGE " + environment + " " + prefix + " " +
                           CommandLine(KLIA_PROGRAM, args),
                       folder_, " </dev/null" + redirections);
  }

  // klia --board <image> args..., sent `signal` (Ctrl-C's INT by default, TERM, HUP) again and
  // again until it ends: the signal is ignored until klia guards a step against it, so it lands
  // in the first guarded step. Standard error goes to the file "err". Returns the wait status.
  int Interrupt(const std::vector<std::string> &args, const std::string &signal = "INT") {
    std::vector<std::string> with_board = {"--board", image_.string()};
    with_board.insert(with_board.end(), args.begin(), args.end());
    std::string command = "trap '' " + signal + "; env -u HWLINK_VBOARD_IMAGE " + CommandLine(KLIA_PROGRAM, with_board);
    command += " >/dev/null 2>" + Quoted(folder_ / "err") + " & pid=$!; while kill -" + signal +
               " $pid 2>/dev/null; do sleep 0.002; done; wait $pid";
    return std::system(("sh -c " + Quoted(command)).c_str());
  }

  nlohmann::json Json(const std::vector<std::string> &args) {
    std::vector<std::string> with_json = {"--json"};
    with_json.insert(with_json.end(), args.begin(), args.end());
    const Outcome run = Invoke(with_json);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    return nlohmann::json::parse(run.out);
  }

  // A board of the default geometry at image_, unless one is there already.
  void Create() {
    if (!fs::exists(image_)) {
      ASSERT_EQ(Invoke({"board", "create"}).exit_code, 0);
    }
  }
  void Format() {
    Create();
    ASSERT_EQ(Invoke({"format", "--yes", "--check-word", "0x5A5A"}).exit_code, 0);
  }

  fs::path folder_;
  fs::path image_;
};

TEST_F(KliaTool, InfoOnAFreshDefaultBoardNamesEveryField) {
  Create();
  const Outcome run = Invoke({"info"});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  for (const char *field : {"Signature", "CheckWord", "StateClass", "CurrentUser", "UserCount", "Byte30", "Devices",
                            "DataAreaSize", "Word34", "LogAreaSize", "LogUsed", "ExtLow", "Version",
                            "DataAreaSizeEx", "LogAreaSizeEx", "LogUsedEx", "ExtHigh"}) {
    EXPECT_THAT(run.out, HasSubstr(field));
  }
  EXPECT_TRUE(fs::exists(image_));

  const nlohmann::json info = Json({"info"});
  EXPECT_EQ(info["signature"], "0a80aaaaaee0a42d415652");
  EXPECT_EQ(info["state_class"], 1);
  EXPECT_EQ(info["check_word"], 0);
  EXPECT_EQ(info["user_count"], 32);
  EXPECT_EQ(info["data_area_bytes"], 200 * 256);
  EXPECT_EQ(info["log_area_bytes"], 16 * 256);
  EXPECT_EQ(info["devices"], 4);
  EXPECT_EQ(info["version"], 0x123);
}

TEST_F(KliaTool, BoardCreateTakesTheGeometryAndRefusesToOverwrite) {
  const Outcome created = Invoke({"board", "create", "--users", "8", "--data-pages", "300", "--log-pages", "2",
                            "--page-size", "512", "--devices", "2"});
  ASSERT_EQ(created.exit_code, 0) << created.err;
  EXPECT_THAT(created.out, HasSubstr("version=0x0123"));  // as 'info' shows the version
  EXPECT_THAT(created.out, HasSubstr("Version          0x0123"));
  const nlohmann::json info = Json({"info"});
  EXPECT_EQ(info["user_count"], 8);
  EXPECT_EQ(info["data_area_size"], 0);  // 153600 bytes need the 32-bit field
  EXPECT_EQ(info["data_area_size_ex"], 300 * 512);
  EXPECT_EQ(info["log_area_bytes"], 2 * 512);
  EXPECT_EQ(info["devices"], 2);

  const std::string before = ReadFile(image_);
  const Outcome again = Invoke({"board", "create"});
  EXPECT_EQ(again.exit_code, 2);
  EXPECT_THAT(again.err, HasSubstr("--force"));
  EXPECT_TRUE(ReadFile(image_) == before);

  ASSERT_EQ(Invoke({"board", "create", "--force"}).exit_code, 0);
  EXPECT_EQ(Json({"info"})["user_count"], 32);
}

TEST_F(KliaTool, FormatIntoAFileShowsWholeStageLinesAndEndsWithTheNewCheckWord) {
  ASSERT_EQ(Invoke({"board", "create", "--users", "16", "--data-pages", "3000", "--log-pages", "8"}).exit_code, 0);
  const Outcome run = Invoke({"format", "--yes", "--check-word", "0x2468"});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  // Off a terminal: no carriage-return stream, only the stage lines and, of the page test,
  // its last page (pages 1 to 8 + 16 + 3000 + 8 - 1).
  EXPECT_THAT(run.out, ::testing::StartsWith(" Инициализация страниц памяти...OK\n Тестирование страниц памяти...\n"
                                              "  Страница:3031 из 3031 OK\n Инициализация связи с БД...OK\n"));
  EXPECT_EQ(run.out.find('\r'), std::string::npos);
  EXPECT_THAT(run.out, HasSubstr("0x2468"));
  const nlohmann::json info = Json({"info"});
  EXPECT_EQ(info["check_word"], 0x2468);
  EXPECT_EQ(info["state_class"], 2);
}

TEST_F(KliaTool, UserWrittenInOneProcessReadsBackInAnother) {
  Format();
  const Outcome write = Invoke({"user", "write", "3", "--name", "Петров", "--name2", "ops", "--flag27", "yes", "--data28",
                          "01020304", "--access-word", "0x0305", "--nibble115", "10", "--flags177", "00000001"});
  ASSERT_EQ(write.exit_code, 0) << write.err;

  nlohmann::json user = Json({"user", "read", "3"});
  EXPECT_EQ(user["name"], "Петров");
  EXPECT_EQ(user["name_hex"], "8fa5e2e0aea2");  // code page 866
  EXPECT_EQ(user["name2"], "ops");
  EXPECT_EQ(user["flag27"], 1);
  EXPECT_EQ(user["data28"], "01020304");
  EXPECT_EQ(user["access_word"]["value"], 0x8005);  // bits 8-15 come back as bit 15
  EXPECT_EQ(user["in_use"], true);
  EXPECT_EQ(user["nibble115"], 10);
  EXPECT_EQ(user["flags177"], nlohmann::json::array({0, 0, 0, 0, 0, 0, 0, 1}));

  // Writing one field keeps the others.
  ASSERT_EQ(Invoke({"user", "write", "3", "--name2", "admins"}).exit_code, 0);
  user = Json({"user", "read", "3"});
  EXPECT_EQ(user["name"], "Петров");
  EXPECT_EQ(user["name2"], "admins");
  EXPECT_EQ(user["data28"], "01020304");

  const nlohmann::json list = Json({"user", "list"});
  ASSERT_EQ(list["users"].size(), 1u);
  EXPECT_EQ(list["users"][0]["user"], 3);
  EXPECT_EQ(list["users"][0]["access_word"]["value"], 0x8005);
  EXPECT_EQ(list["users"][0]["access_word"], user["access_word"]);  // one shape in list and read
  EXPECT_EQ(Json({"user", "read", "4"})["in_use"], false);
}

TEST_F(KliaTool, LogonWithTheRecordsKeyAndPassword) {
  Format();
  ASSERT_EQ(Invoke({"user", "write", "2", "--data28", "11223344", "--data32", "55667788", "--data36", "a1a2a3a4",
                  "--data40", "b1b2b3b4", "--flag26", "1"})
                .exit_code,
            0);
  const Outcome refused = Invoke({"login", "1122334455667788", "0000000000000000"});
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_THAT(refused.err, HasSubstr("7505"));
  const nlohmann::json on = Json({"login", "1122334455667788", "a1a2a3a4b1b2b3b4"});
  EXPECT_EQ(on["user"], 2);
  EXPECT_EQ(on["flag"], 1);
  EXPECT_EQ(Json({"user", "current"})["user"], 2);
  EXPECT_EQ(Json({"logout"})["user"], 0);
}

TEST_F(KliaTool, DataAreaWriteAndReadInHexRawAndFiles) {
  Format();
  ASSERT_EQ(Invoke({"data", "write", "2", "250", "--hex", "00 11 22 33 44 55 66 77 88 99"}).exit_code, 0);
  EXPECT_EQ(Json({"data", "read", "2", "250", "10"})["hex"], "00112233445566778899");

  std::string bytes;
  for (int i = 0; i < 700; ++i) bytes += static_cast<char>(i * 13);
  WriteFile(folder_ / "in.bin", bytes);
  ASSERT_EQ(Invoke({"data", "write", "2", "1000", "--in", (folder_ / "in.bin").string()}).exit_code, 0);
  ASSERT_EQ(Invoke({"data", "read", "2", "1000", "700", "--out", (folder_ / "out.bin").string()}).exit_code, 0);
  EXPECT_EQ(ReadFile(folder_ / "out.bin"), bytes);
  EXPECT_EQ(Invoke({"data", "read", "2", "1000", "700", "--raw"}).out, bytes);

  WriteFile(folder_ / "stdin.bin", "piped");
  ASSERT_EQ(Invoke({"data", "write", "1", "0"}, (folder_ / "stdin.bin").string()).exit_code, 0);
  const Outcome dump = Invoke({"data", "read", "1", "0", "5"});
  EXPECT_THAT(dump.out, HasSubstr("70 69 70 65 64"));
  EXPECT_THAT(dump.out, HasSubstr("|piped|"));
}

// klia's name leads each message once; the command it belongs to follows.
TEST_F(KliaTool, MessagesNameTheProgramOnce) {
  Outcome run = Invoke({"data", "read", "2", "0"});
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_THAT(run.err, ::testing::StartsWith("klia: data read: "));
  EXPECT_THAT(run.err, HasSubstr("see 'klia data read --help'"));
  run = Invoke({"--frobnicate"});
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_THAT(run.err, ::testing::StartsWith("klia: "));
  for (const Outcome &each : {run, Invoke({"data", "read", "2", "0"}), Invoke({"user", "read", "seven"})}) {
    EXPECT_THAT(each.err, ::testing::Not(::testing::ContainsRegex("klia: +klia")));
  }
  run = Invoke({"--json", "data", "read", "2", "0"});
  EXPECT_THAT(nlohmann::json::parse(run.err)["error"]["usage"].get<std::string>(),
              ::testing::StartsWith("data read: "));
}

TEST_F(KliaTool, LogAppendDumpAndClear) {
  Format();
  ASSERT_EQ(Invoke({"log", "append", "--text", "hello"}).exit_code, 0);
  ASSERT_EQ(Invoke({"log", "append", "--hex", "0102"}).exit_code, 0);
  nlohmann::json log = Json({"log", "dump"});
  EXPECT_EQ(log["hex"], "68656c6c6f0102");
  EXPECT_EQ(log["log_used_bytes"], 7);

  // Text appended in code page 866 is shown as it was typed.
  ASSERT_EQ(Invoke({"log", "append", "--text", "Дверь №1"}).exit_code, 0);
  const Outcome dump = Invoke({"log", "dump"});
  EXPECT_THAT(dump.out, HasSubstr("84  a2 a5 e0 ec 20 fc 31"));  // code page 866
  EXPECT_THAT(dump.out, HasSubstr("|hello..Дверь №1|"));
  EXPECT_EQ(Json({"log", "dump"})["text"], std::string("hello\x01\x02") + "Дверь №1");
  ASSERT_EQ(Invoke({"log", "clear"}).exit_code, 0);
  EXPECT_EQ(Json({"log", "dump"})["length"], 0);
}

TEST_F(KliaTool, ConfigHwStepClockAndWatchdog) {
  Format();
  EXPECT_EQ(Invoke({"config", "get"}).exit_code, 1);  // nothing stored yet
  ASSERT_EQ(Invoke({"config", "set", "--byte0", "0x12", "--byte3", "255", "--word9", "0x1234", "--flag11", "1"})
                .exit_code,
            0);
  const nlohmann::json config = Json({"config", "get"});
  EXPECT_EQ(config["byte0"], 0x12);
  EXPECT_EQ(config["byte3"], 20);  // a stored 255 reads back as 20
  EXPECT_EQ(config["word9"], 0x1234);
  EXPECT_EQ(config["flag11"], 1);

  ASSERT_EQ(Invoke({"hwstep", "set", "9"}).exit_code, 0);
  EXPECT_EQ(Json({"hwstep", "get"})["hwstep"], 9);

  ASSERT_EQ(Invoke({"clock", "set", "2024-12-31", "14:30:05"}).exit_code, 0);
  const nlohmann::json clock = Json({"clock", "get"});
  EXPECT_EQ(clock["day_number"], 155228);  // 31 December 2024
  EXPECT_GE(clock["time_of_day"].get<int>(), 52205);
  EXPECT_LE(clock["time_of_day"].get<int>(), 52205 + 10);

  ASSERT_EQ(Invoke({"watchdog", "set", "0x1234"}).exit_code, 0);
  EXPECT_EQ(Json({"watchdog", "get"})["watchdog_timeout"], 0x1234);
}

TEST_F(KliaTool, TourEndsWithItsSuccessLine) {
  const Outcome run = Invoke({"tour"});
  ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
  EXPECT_THAT(run.out, ::testing::ContainsRegex("tour complete: [0-9]+ steps OK"));
  EXPECT_THAT(run.out, HasSubstr("CheckWord 0x1234, StateClass 2"));
}

TEST_F(KliaTool, RefusedOperationsShowTheErrorState) {
  Format();
  const Outcome run = Invoke({"data", "read", "0", "500", "20"});  // area 0 is pages 1-2: 512 bytes
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_THAT(run.err, HasSubstr("KLIAReadDataEx"));
  EXPECT_THAT(run.err, ::testing::ContainsRegex("LastError +7506 +out of range"));
  EXPECT_THAT(run.err, HasSubstr("DeviceStatus"));
  EXPECT_THAT(run.err, HasSubstr("BindError"));
  // With --json the error object is on standard error, and standard output stays empty.
  const Outcome json = Invoke({"--json", "data", "read", "0", "511", "2"});
  EXPECT_EQ(json.exit_code, 1);
  EXPECT_EQ(json.out, "");
  EXPECT_EQ(nlohmann::json::parse(json.err)["error"]["last_error"]["code"], 7506);
}

// An image klia cannot use is named in one line with the cure, and left as it is.
TEST_F(KliaTool, AnUnusableImageIsNamedWithTheCure) {
  WriteFile(image_, "not a board image");
  Outcome run = Invoke({"info"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_THAT(run.err, HasSubstr("is not a board image"));
  EXPECT_THAT(run.err, HasSubstr("board create --force"));
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  EXPECT_EQ(ReadFile(image_), "not a board image");

  fs::remove(image_);
  fs::create_directory(image_);
  run = Invoke({"user", "list"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_THAT(run.err, HasSubstr("is a directory"));
  // A new board would not go where a folder is: no advice that would then be refused.
  EXPECT_THAT(run.err, Not(HasSubstr("board create")));
  EXPECT_THAT(run.err, HasSubstr("name a board image file with --board"));
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
}

// A bind with no exchange, behind a spy that cannot load the transport it forwards to: klia
// points to the spy's message, and advises nothing that would erase a good board.
TEST_F(KliaTool, ABindWithoutExchangePointsToTheTransportNotToANewBoard) {
  Format();
  const std::string before = ReadFile(image_);
  const Outcome run = Invoke({"info"}, "");
  ASSERT_EQ(run.exit_code, 0);
  const Outcome spied = Run({"--board", image_.string(), "info"}, "",
                            "LD_LIBRARY_PATH=" + Quoted(SPY_FOLDER) + " HWLINK_SPY_TARGET=" +
                                Quoted(folder_ / "no-such-transport.so") + " HWLINK_SPY_TRACE=" +
                                Quoted(folder_ / "t.jsonl"));
  EXPECT_EQ(spied.exit_code, 1);
  EXPECT_THAT(spied.err, HasSubstr("the transport made no exchange"));
  EXPECT_THAT(spied.err, HasSubstr("the transport spy"));
  EXPECT_THAT(spied.err, Not(HasSubstr("board create")));
  EXPECT_EQ(ReadFile(image_), before);
}

// A new image is its owner's alone (it holds logon keys and passwords), whatever the umask; an
// existing one keeps its mode, and board path and info warn when others may read it.
TEST_F(KliaTool, TheBoardImageIsItsOwnersAlone) {
  const mode_t umask_before = umask(0);  // inherited by klia
  const Outcome created = Run({"--board", image_.string(), "board", "create"});
  umask(umask_before);
  ASSERT_EQ(created.exit_code, 0) << created.err;
  EXPECT_EQ(fs::status(image_).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_THAT(Invoke({"info"}).err, Not(HasSubstr("other users")));

  fs::permissions(image_, fs::perms::group_read | fs::perms::others_read, fs::perm_options::add);
  for (const std::vector<std::string> &command : {std::vector<std::string>{"board", "path"}, {"info"}}) {
    const Outcome run = Invoke(command);
    EXPECT_EQ(run.exit_code, 0) << command[0];
    EXPECT_THAT(run.err, HasSubstr("may be read by other users"));
    EXPECT_THAT(run.err, HasSubstr("chmod 600"));
  }
  EXPECT_EQ(fs::status(image_).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
}

// Bad arguments: a clear message, exit code 2, and the board image untouched.
struct BadInput {
  std::vector<std::string> args;
  const char *message;
};

class KliaBadInput : public KliaTool, public ::testing::WithParamInterface<BadInput> {};

// A test name from the arguments: their ASCII letters and digits, anything else between them
// as one '_' ("user write 1 --data28 0102zz04" is user_write_1_data28_0102zz04).
std::string ArgumentsName(const ::testing::TestParamInfo<BadInput> &info) {
  std::string name;
  for (const std::string &arg : info.param.args) {
    for (const char c : arg + " ") {
      if (std::isalnum(static_cast<unsigned char>(c)) != 0) {
        name += c;
      } else if (!name.empty() && name.back() != '_') {
        name += '_';
      }
    }
  }
  while (!name.empty() && name.back() == '_') name.pop_back();
  return name.empty() ? "NoArguments" : name;
}

TEST_P(KliaBadInput, IsRefusedBeforeTheBoardChanges) {
  Format();
  // User 1 in use, so that a refused deletion would have had something to delete.
  ASSERT_EQ(Invoke({"user", "write", "1", "--name", "kept", "--key", "0102030405060708"}).exit_code, 0);
  const std::string before = ReadFile(image_);
  const Outcome run = Invoke(GetParam().args);
  EXPECT_EQ(run.exit_code, 2) << run.out;
  EXPECT_THAT(run.err, HasSubstr(GetParam().message));
  EXPECT_TRUE(ReadFile(image_) == before);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, KliaBadInput,
    ::testing::Values(BadInput{{"user", "read", "33"}, "out of range: this board has users 1 to 32"},
                      BadInput{{"user", "write", "40", "--name", "x"}, "out of range"},
                      BadInput{{"user", "read", "seven"}, "not a number"},
                      BadInput{{"user", "write", "1", "--data28", "0102zz04"}, "is not hex"},
                      BadInput{{"user", "write", "1", "--data28", "010203"}, "exactly 4 bytes"},
                      BadInput{{"user", "write", "1", "--name", "Тринадцать-13"}, "at most 12 fit"},
                      BadInput{{"user", "write", "1", "--flag26", "maybe"}, "is not a flag"},
                      BadInput{{"user", "write", "1"}, "at least one field"},
                      BadInput{{"data", "write", "2", "0", "--hex", "123"}, "odd number of hex digits"},
                      BadInput{{"clock", "set", "2024-02-30", "10:00:00"}, "not a date"},
                      BadInput{{"clock", "set", "1999-12-31", "10:00"}, "2000 to 2099"},
                      BadInput{{"clock", "set", "tomorrow"}, "YYYY-MM-DD"},
                      BadInput{{"login", "0102", "0304"}, "exactly 8 bytes"},
                      BadInput{{"format", "--yes", "--check-word", "0"}, "from 1 to 65534"},
                      BadInput{{"format", "--check-word", "0x1234"}, "add --yes to confirm"},
                      BadInput{{"user", "delete", "1"}, "add --yes to confirm"},
                      BadInput{{"watchdog", "set", "70000"}, "from 0 to 65535"},
                      BadInput{{"user", "frobnicate"}, "unknown subcommand 'frobnicate' of 'klia user'"},
                      BadInput{{"usr", "list"}, "did you mean 'user'?"},
                      BadInput{{"data", "read", "2", "51190", "20"}, "area 2 holds 51200 bytes"},
                      BadInput{{"data", "read", "4", "0", "16"}, "there is no area 4"},
                      BadInput{{"data", "write", "2", "0", "--hex", ""}, "nothing to write"},
                      BadInput{{"data", "write", "2", "0", "--in", "/nonexistent"}, "No such file or directory"},
                      BadInput{{"user", "write", "1", "--key", "0102"}, "exactly 8 bytes"},
                      BadInput{{"user", "write", "1", "--key", "0102030405060708", "--data28", "01020304"},
                               "give one or the other"}),
    ArgumentsName);

// A standard stream closed by whoever started klia (cron, a service manager) must not hand its
// number to the board image or to a file klia opens: the next line of output would land there.
struct ClosedStream {
  int descriptor;
  std::vector<std::string> args;  // after --board; {out} and {in} stand for files of the test
};

class KliaClosedStream : public KliaTool, public ::testing::WithParamInterface<ClosedStream> {};

TEST_P(KliaClosedStream, LeavesTheImageAndTheFilesAlone) {
  Format();
  // The bytes a write sends are those already there: a correct run leaves the image as it is.
  WriteFile(folder_ / "in.bin", "Payload");
  ASSERT_EQ(Invoke({"data", "write", "2", "100", "--hex", "5061796c6f6164"}).exit_code, 0);
  const std::string before = ReadFile(image_);
  std::vector<std::string> args = {"--board", image_.string()};
  for (const std::string &arg : GetParam().args) {
    args.push_back(arg == "{out}" ? (folder_ / "out.bin").string() : arg == "{in}" ? (folder_ / "in.bin").string() : arg);
  }
  Run(args, " " + std::to_string(GetParam().descriptor) + ">&-");
  EXPECT_EQ(ReadFile(image_).substr(0, 8), "VBOARD01");
  EXPECT_TRUE(ReadFile(image_) == before) << "the image changed";
  if (fs::exists(folder_ / "out.bin")) {
    EXPECT_EQ(ReadFile(folder_ / "out.bin"), "Payload");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Streams, KliaClosedStream,
    ::testing::Values(ClosedStream{0, {"user", "list"}}, ClosedStream{1, {"user", "list"}},
                      ClosedStream{2, {"user", "list"}}, ClosedStream{1, {"info"}},
                      ClosedStream{2, {"data", "read", "9", "0", "1"}},      // a usage error message
                      ClosedStream{2, {"data", "read", "0", "511", "2"}},    // a board failure message
                      ClosedStream{1, {"data", "read", "2", "100", "7", "--out", "{out}"}},
                      ClosedStream{2, {"data", "read", "2", "100", "7", "--out", "{out}"}},
                      ClosedStream{0, {"data", "write", "2", "100", "--in", "{in}"}},
                      ClosedStream{1, {"data", "write", "2", "100", "--in", "{in}"}}),
    [](const ::testing::TestParamInfo<ClosedStream> &info) {
      std::string name = "fd" + std::to_string(info.param.descriptor);
      for (const std::string &arg : info.param.args) {
        name += '_';
        for (char c : arg) {
          if (std::isalnum(static_cast<unsigned char>(c))) name += c;
        }
      }
      return name;
    });

// Only 'board create' and the first use of the default image make an image: a mistyped path
// must fail, not show an empty board.
TEST_F(KliaTool, AMissingImageIsNamedAndNothingIsCreated) {
  const fs::path typo = folder_ / "x" / "typo.img";
  Outcome run = Run({"--board", typo.string(), "user", "list"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_THAT(run.err, HasSubstr(typo.string()));
  EXPECT_THAT(run.err, HasSubstr("klia board create"));
  EXPECT_FALSE(fs::exists(folder_ / "x"));

  run = Run({"info"}, "", "HWLINK_VBOARD_IMAGE=" + Quoted(typo));
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_THAT(run.err, HasSubstr("chosen by HWLINK_VBOARD_IMAGE"));
  EXPECT_FALSE(fs::exists(folder_ / "x"));

  run = Run({"--board", "", "info"});
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_THAT(run.err, HasSubstr("the path is empty"));

  // board create does not make folders the person did not ask for either.
  run = Run({"--board", typo.string(), "board", "create"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_THAT(run.err, HasSubstr("does not exist"));
  EXPECT_FALSE(fs::exists(folder_ / "x"));
}

TEST_F(KliaTool, TheDefaultImageIsMadeOnFirstUseWithANotice) {
  const std::string state = "XDG_STATE_HOME=" + Quoted(folder_ / "state");
  const Outcome first = Run({"user", "list"}, "", state);
  ASSERT_EQ(first.exit_code, 0) << first.err;
  const fs::path image = folder_ / "state" / "klia" / "board.img";
  EXPECT_TRUE(fs::exists(image));
  EXPECT_THAT(first.err, HasSubstr("made a new board image with the default geometry at " + image.string()));
  const Outcome second = Run({"user", "list"}, "", state);
  EXPECT_EQ(second.exit_code, 0);
  EXPECT_EQ(second.err, "");
}

// An image the person may only read can be inspected; a change fails with a clear message.
TEST_F(KliaTool, AReadOnlyImageServesReadsAndRefusesChanges) {
  Format();
  ASSERT_EQ(Invoke({"user", "write", "1", "--name", "reader"}).exit_code, 0);
  const std::string before = ReadFile(image_);
  fs::permissions(image_, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  // root may write whatever the mode says: run klia as another user then.
  const std::string as_other = geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups" : "";
  fs::permissions(folder_, fs::perms::all, fs::perm_options::add);
  Outcome run = Run({"--board", image_.string(), "--json", "user", "read", "1"}, "", "", as_other);
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(nlohmann::json::parse(run.out)["name"], "reader");
  run = Run({"--board", image_.string(), "info"}, "", "", as_other);
  EXPECT_EQ(run.exit_code, 0) << run.err;
  run = Run({"--board", image_.string(), "user", "write", "1", "--name", "writer"}, "", "", as_other);
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_THAT(run.err, HasSubstr("is read-only for you"));
  EXPECT_TRUE(ReadFile(image_) == before);
}

// A creation interrupted with Ctrl-C, or one that was killed, leaves no temporary file and
// the old image as it was.
TEST_F(KliaTool, AnInterruptedCreationLeavesNoTemporaryFiles) {
  ASSERT_EQ(Invoke({"board", "create", "--users", "8"}).exit_code, 0);
  // What a killed process left is removed by the next creation.
  WriteFile(folder_ / "board.img.new.999999999.1", "left by a dead process");
  ASSERT_EQ(Invoke({"board", "create", "--force", "--users", "8"}).exit_code, 0);
  EXPECT_FALSE(fs::exists(folder_ / "board.img.new.999999999.1"));

  const std::string before = ReadFile(image_);
  const int status = Interrupt(
      {"board", "create", "--force", "--users", "1", "--data-pages", "65000", "--log-pages", "0", "--page-size", "1024"});
  const int exit_code = ExitCode(status);
  for (const auto &entry : fs::directory_iterator(folder_)) {
    EXPECT_EQ(entry.path().filename().string().find(".new."), std::string::npos) << entry.path();
  }
  if (exit_code == 130) {
    EXPECT_TRUE(ReadFile(image_) == before);
    EXPECT_THAT(ReadFile(folder_ / "err"), HasSubstr("interrupted"));
  } else {
    EXPECT_EQ(exit_code, 0) << "the creation finished before the signal came";
  }
}

// A format ended by a signal says so, naming the signal unless it was Ctrl-C, and exits as a
// shell reports a program that signal ended: 128 + its number.
TEST_F(KliaTool, FormatInterruptedSaysTheBoardIsNotFormatted) {
  struct Case {
    const char *signal;
    int exit_code;
    const char *said;
  };
  const Case cases[] = {
      {"INT", 130, "klia: interrupted: the board is not formatted; run klia format again"},
      {"TERM", 143, "klia: interrupted by SIGTERM: the board is not formatted; run klia format again"},
      {"HUP", 129, "klia: interrupted by SIGHUP: the board is not formatted; run klia format again"},
  };
  ASSERT_EQ(Invoke({"board", "create", "--users", "1", "--data-pages", "60000", "--page-size", "1024"}).exit_code, 0);
  for (const Case &c : cases) {
    const int status = Interrupt({"format", "--yes", "--check-word", "0x1234"}, c.signal);
    ASSERT_TRUE(WIFEXITED(status)) << c.signal;
    EXPECT_EQ(WEXITSTATUS(status), c.exit_code) << c.signal;
    EXPECT_THAT(ReadFile(folder_ / "err"), HasSubstr(c.said));
  }
}

// Failures say what to do next, in words, even where the library records no code.
TEST_F(KliaTool, ErrorsNameTheCure) {
  ASSERT_EQ(Invoke({"board", "create", "--log-pages", "1"}).exit_code, 0);
  Outcome run = Invoke({"log", "append", "--text", "too early"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_THAT(run.err, HasSubstr("klia format"));
  EXPECT_THAT(run.err, ::testing::Not(HasSubstr("LastError")));

  Format();
  ASSERT_EQ(Invoke({"log", "append", "--hex", std::string(200 * 2, 'a')}).exit_code, 0);
  run = Invoke({"log", "append", "--hex", std::string(100 * 2, 'b')});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_THAT(run.err, HasSubstr("the log is full: 200 of 256 bytes are in use"));
  EXPECT_THAT(run.err, HasSubstr("klia log clear"));
  EXPECT_THAT(run.err, ::testing::Not(HasSubstr("LastError")));

  run = Invoke({"user", "password", "1", "--block", std::string(32, '0')});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_THAT(run.err, HasSubstr("nobody is logged on"));
  EXPECT_THAT(run.err, HasSubstr("klia login"));

  ASSERT_EQ(Invoke({"user", "write", "2", "--key", "1122334455667788", "--password", "a1a2a3a4b1b2b3b4"}).exit_code, 0);
  ASSERT_EQ(Invoke({"login", "1122334455667788", "a1a2a3a4b1b2b3b4"}).exit_code, 0);
  run = Invoke({"user", "password", "5", "--block", std::string(32, '0')});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_THAT(run.err, HasSubstr("user 5 is not the logged-on user (user 2 is)"));
  run = Invoke({"user", "password", "2", "--block", std::string(32, '0')});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_THAT(run.err, HasSubstr("must be the current password"));

  const Outcome json = Invoke({"--json", "log", "append", "--hex", std::string(100 * 2, 'b')});
  EXPECT_EQ(json.exit_code, 1);
  EXPECT_THAT(nlohmann::json::parse(json.err)["error"]["log"].get<std::string>(), HasSubstr("the log is full"));
}

// A password change whose transport call made no exchange (the library's status 255) says the
// block never reached the board, not that the board refused it. The failure is a recorded
// session whose password-change exchange is edited to "no exchange", replayed through the spy.
TEST_F(KliaTool, APasswordBlockThatWasNeverSentIsNotCalledRefused) {
  Format();
  ASSERT_EQ(Invoke({"user", "write", "2", "--key", "1122334455667788", "--password", "a1a2a3a4b1b2b3b4"}).exit_code, 0);
  ASSERT_EQ(Invoke({"login", "1122334455667788", "a1a2a3a4b1b2b3b4"}).exit_code, 0);
  const std::vector<std::string> change = {"--board", image_.string(), "user", "password", "2", "--block",
                                           "a1a2a3a4b1b2b3b4c1c2c3c4d1d2d3d4"};
  ASSERT_EQ(Run(change, "", "HWLINK_VBOARD_TRACE=" + Quoted(folder_ / "changed.jsonl")).exit_code, 0);

  std::string edited;
  int password_changes = 0;
  std::istringstream lines(ReadFile(folder_ / "changed.jsonl"));
  for (std::string line; std::getline(lines, line);) {
    nlohmann::json record = nlohmann::json::parse(line);
    if (record["type"] == "exchange" && record["command"] == 19) {
      record["result"] = 0;  // the transport call failed: no status, nothing exchanged
      record["status"] = nullptr;
      ++password_changes;
    }
    edited += record.dump() + "\n";
  }
  ASSERT_EQ(password_changes, 1);
  WriteFile(folder_ / "failed.jsonl", edited);

  std::vector<std::string> replay = {"trace", "replay", (folder_ / "failed.jsonl").string(), "--", KLIA_PROGRAM};
  replay.insert(replay.end(), change.begin(), change.end());
  const Outcome run = Run(replay);
  EXPECT_EQ(run.exit_code, 0) << run.out << run.err;  // the program asked for what was recorded
  EXPECT_THAT(run.out, HasSubstr("exited with status 1"));
  EXPECT_THAT(run.err, ::testing::ContainsRegex("LastError +255"));
  EXPECT_THAT(run.err, HasSubstr("never sent"));
  EXPECT_THAT(run.err, ::testing::Not(HasSubstr("refused")));
}

// A replay takes its options after the file and the command after --. A recording of two
// processes replayed with one: without a stop the run ends short of the recording (exit 1);
// told to stop after the first process, or after its exchanges, it is clean; a stop past the
// recording and a command without -- are usage errors.
TEST_F(KliaTool, ReplayStopsWhereItIsTold) {
  Format();
  const std::string recording = (folder_ / "two.jsonl").string();
  const std::vector<std::string> info = {KLIA_PROGRAM, "--board", image_.string(), "info"};
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(Run({"--board", image_.string(), "info"}, "", "HWLINK_VBOARD_TRACE=" + Quoted(recording)).exit_code, 0);
  }
  size_t headers = 0, first = 0;  // the first process's exchanges
  const nlohmann::json shown = nlohmann::json::parse(Run({"--json", "trace", "show", recording}).out);
  for (const nlohmann::json &record : shown["records"]) {
    if (record["type"] == "header") ++headers;
    if (record["type"] == "exchange" && headers == 1) ++first;
  }
  ASSERT_EQ(headers, 2u);
  ASSERT_GT(first, 0u);

  const auto replay = [&](std::vector<std::string> options) {
    std::vector<std::string> args = {"trace", "replay", recording};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back("--");
    args.insert(args.end(), info.begin(), info.end());
    return Run(args);
  };
  Outcome run = replay({});
  EXPECT_EQ(run.exit_code, 1) << run.out << run.err;
  for (const std::vector<std::string> &stop :
       {std::vector<std::string>{"--process", "1"}, {"--exchanges", std::to_string(first)}}) {
    run = replay(stop);
    EXPECT_EQ(run.exit_code, 0) << stop[0] << run.out << run.err;
    EXPECT_THAT(run.out, HasSubstr("all " + std::to_string(first) + " exchange(s) came as recorded"));
  }
  const std::string kept = (folder_ / "kept.jsonl").string();
  run = replay({"--process", "1", "--record", kept});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_TRUE(std::filesystem::exists(kept));

  run = replay({"--process", "3"});
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_THAT(run.err, HasSubstr("holds 2 process(es)"));
  run = Run({"trace", "replay", recording, KLIA_PROGRAM, "info"});
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_THAT(run.err, HasSubstr("after --"));
}

// --json answers in JSON on every path: results, parse errors, usage errors, failures.
TEST_F(KliaTool, JsonOnEveryPath) {
  Format();
  struct Case {
    std::vector<std::string> args;
    int exit_code;
    const char *key;  // in the object on standard output (0) or in its "error" on standard error
  };
  for (const Case &c : {Case{{"config", "get"}, 1, "nothing_stored"},
                        Case{{"data", "write", "2", "0", "--hex", "01"}, 0, "written"},
                        Case{{"log", "append", "--text", "x"}, 0, "appended"},
                        Case{{"log", "clear"}, 0, "cleared"},
                        Case{{"board", "path"}, 0, "image"},
                        Case{{"tour", "--force"}, 0, "steps"},
                        Case{{"user", "frobnicate"}, 2, "usage"},
                        Case{{"data", "read", "2", "0"}, 2, "usage"},
                        Case{{"user", "read", "99"}, 2, "usage"}}) {
    const Outcome run = Invoke([&] {
      std::vector<std::string> args = {"--json"};
      args.insert(args.end(), c.args.begin(), c.args.end());
      return args;
    }());
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    EXPECT_EQ(run.exit_code, c.exit_code) << run.err;
    if (c.exit_code == 0) {
      EXPECT_TRUE(nlohmann::json::parse(run.out).contains(c.key)) << run.out;
    } else {
      EXPECT_EQ(run.out, "");
      EXPECT_TRUE(nlohmann::json::parse(run.err)["error"].contains(c.key)) << run.err;
    }
  }
}

// Raw bytes written into an area that holds records (the configuration record, the event log,
// the hardware step) break those records: off a terminal such a write is refused before
// anything is sent unless --yes is given, and the refusal names the command that writes the
// record whole. The data area (2) stays free.
TEST_F(KliaTool, DataWriteIntoAnAreaOfRecordsNeedsYes) {
  Format();
  ASSERT_EQ(Invoke({"log", "append", "--text", "first"}).exit_code, 0);
  const std::string before = ReadFile(image_);
  struct Case {
    const char *area;
    const char *command;
  };
  for (const Case &c : {Case{"0", "config set"}, Case{"3", "log append"}, Case{"5", "hwstep set"}}) {
    SCOPED_TRACE(std::string("area ") + c.area);
    const Outcome refused = Invoke({"data", "write", c.area, "0", "--hex", "01"});
    EXPECT_EQ(refused.exit_code, 2);
    EXPECT_THAT(refused.err, HasSubstr(c.command));
    EXPECT_THAT(refused.err, HasSubstr("--yes"));
    const Outcome json = Invoke({"--json", "data", "write", c.area, "0", "--hex", "01"});
    EXPECT_EQ(json.exit_code, 2);
    EXPECT_EQ(json.out, "");
    EXPECT_THAT(nlohmann::json::parse(json.err)["error"]["usage"].get<std::string>(), HasSubstr(c.command));
  }
  EXPECT_EQ(ReadFile(image_), before) << "a refused write reached the board";

  EXPECT_EQ(Invoke({"data", "write", "2", "0", "--hex", "01"}).exit_code, 0);
  for (const char *area : {"0", "3", "5"}) {
    const Outcome forced = Invoke({"data", "write", area, "0", "--hex", "01", "--yes"});
    EXPECT_EQ(forced.exit_code, 0) << area << ": " << forced.err;
  }
}

TEST_F(KliaTool, DeletedUserReadsAsNeverWrittenAndCannotLogOn) {
  Format();
  ASSERT_EQ(Invoke({"user", "write", "4", "--name", "gone", "--key", "0102030405060708", "--password",
                    "1112131415161718"})
                .exit_code,
            0);
  ASSERT_EQ(Invoke({"login", "0102030405060708", "1112131415161718"}).exit_code, 0);
  ASSERT_EQ(Invoke({"logout"}).exit_code, 0);
  const Outcome deleted = Invoke({"user", "delete", "4", "--yes"});
  ASSERT_EQ(deleted.exit_code, 0) << deleted.err;
  EXPECT_EQ(Json({"user", "read", "4"})["in_use"], false);
  EXPECT_EQ(Json({"user", "list"})["users"].size(), 0u);
  EXPECT_THAT(Invoke({"login", "0102030405060708", "1112131415161718"}).err, HasSubstr("0x50"));
  EXPECT_THAT(Invoke({"login", "ffffffffffffffff", "ffffffffffffffff"}).err, HasSubstr("0x50"));

  // Deleting it again changes nothing and says so, without asking.
  const std::string before = ReadFile(image_);
  const Outcome again = Invoke({"user", "delete", "4"});
  EXPECT_EQ(again.exit_code, 0) << again.err;
  EXPECT_THAT(again.out, HasSubstr("not in use"));
  EXPECT_THAT(again.out, HasSubstr("nothing to delete"));
  EXPECT_TRUE(ReadFile(image_) == before);
  EXPECT_EQ(Json({"user", "delete", "4"})["deleted"], false);
}

// A key of eight 0xFF bytes is what the virtual board takes as naming nobody: the write is
// done, with a warning (a JSON notice with --json); any other key writes without one.
TEST_F(KliaTool, AKeyThatNamesNobodyIsWrittenWithAWarning) {
  Format();
  Outcome run = Invoke({"user", "write", "3", "--key", "ffffffffffffffff", "--password", "0102030405060708"});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_THAT(run.err, HasSubstr("can never log on"));
  EXPECT_THAT(Invoke({"login", "ffffffffffffffff", "0102030405060708"}).err, HasSubstr("0x50"));

  run = Invoke({"--json", "user", "write", "3", "--name", "still"});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_THAT(nlohmann::json::parse(run.err)["notices"][0].get<std::string>(), HasSubstr("can never log on"));
  EXPECT_EQ(nlohmann::json::parse(run.out)["name"], "still");

  // From a file, so that no notice about a key on the command line comes either.
  WriteFile(folder_ / "key", "fffffffffffffffe\n");
  fs::permissions(folder_ / "key", fs::perms::owner_read | fs::perms::owner_write);
  run = Invoke({"user", "write", "3", "--key-file", (folder_ / "key").string()});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(run.err, "");
}

TEST_F(KliaTool, VersionCompletionAndManualPage) {
  Outcome run = Run({"--version"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_THAT(run.out, ::testing::StartsWith("klia 1."));
  run = Run({"completion", "bash"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_THAT(run.out, HasSubstr("complete -F _klia klia"));
  EXPECT_THAT(run.out, HasSubstr("\"user\") words=\"current read write delete list password"));
  run = Run({"manpage"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_THAT(run.out, ::testing::StartsWith(".TH KLIA 1"));
  for (const char *command : {".SS user delete", ".SS data read", ".SS format", ".SS log append"}) {
    EXPECT_THAT(run.out, HasSubstr(command));
  }
  // The bash script is valid shell.
  WriteFile(folder_ / "completion.bash", Run({"completion", "bash"}).out);
  EXPECT_EQ(std::system(("bash -n " + Quoted(folder_ / "completion.bash")).c_str()), 0);
}

}  // namespace
