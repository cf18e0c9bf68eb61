// klia run as a separate process, the way an administrator or a script runs it: each test
// works on its own board image in a temporary folder.
#include <sys/wait.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

namespace fs = std::filesystem;
using ::testing::EndsWith;
using ::testing::HasSubstr;

struct Outcome {
  int exit_code = -1;
  std::string out;
  std::string err;
};

std::string ReadFile(const fs::path &path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path &path, const std::string &bytes) {
  std::ofstream file(path, std::ios::binary);
  file << bytes;
}

std::string Quoted(const std::string &word) {
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

class KliaTool : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    folder_ = fs::temp_directory_path() / ("klia-test-" + std::to_string(random()));
    fs::create_directories(folder_);
    image_ = folder_ / "board.img";
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }

  // klia --board <image> args..., with the environment of a fresh shell for the board.
  Outcome Invoke(const std::vector<std::string> &args, const std::string &stdin_file = "") {
    std::string command = "env -u HWLINK_VBOARD_GEOMETRY " + Quoted(KLIA_PROGRAM) + " --board " + Quoted(image_);
    for (const std::string &arg : args) command += " " + Quoted(arg);
    command += " >" + Quoted(folder_ / "out") + " 2>" + Quoted(folder_ / "err");
    if (!stdin_file.empty()) command += " <" + Quoted(stdin_file);
    const int status = std::system(command.c_str());
    Outcome run;
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = ReadFile(folder_ / "out");
    run.err = ReadFile(folder_ / "err");
    return run;
  }

  nlohmann::json Json(const std::vector<std::string> &args) {
    std::vector<std::string> with_json = {"--json"};
    with_json.insert(with_json.end(), args.begin(), args.end());
    const Outcome run = Invoke(with_json);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    return nlohmann::json::parse(run.out);
  }

  void Format() { ASSERT_EQ(Invoke({"format", "--check-word", "0x5A5A"}).exit_code, 0); }

  fs::path folder_;
  fs::path image_;
};

TEST_F(KliaTool, InfoOnAFreshDefaultBoardNamesEveryField) {
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
  EXPECT_EQ(ReadFile(image_), before);

  ASSERT_EQ(Invoke({"board", "create", "--force"}).exit_code, 0);
  EXPECT_EQ(Json({"info"})["user_count"], 32);
}

TEST_F(KliaTool, FormatShowsProgressAndEndsWithTheNewCheckWord) {
  ASSERT_EQ(Invoke({"board", "create", "--users", "16", "--data-pages", "3000", "--log-pages", "8"}).exit_code, 0);
  const Outcome run = Invoke({"format", "--check-word", "0x2468"});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("Инициализация страниц памяти...OK"));
  // Pages 1 to 8 + 16 + 3000 + 8 - 1, each reported as it is tested.
  EXPECT_THAT(run.out, HasSubstr("\r  Страница:1 из 3031 \r  Страница:2 из 3031 "));
  EXPECT_THAT(run.out, HasSubstr("Страница:3031 из 3031 OK"));
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
  EXPECT_EQ(user["access-word"]["value"], 0x8005);  // bits 8-15 come back as bit 15
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

TEST_F(KliaTool, LogAppendDumpAndClear) {
  Format();
  ASSERT_EQ(Invoke({"log", "append", "--text", "hello"}).exit_code, 0);
  ASSERT_EQ(Invoke({"log", "append", "--hex", "0102"}).exit_code, 0);
  nlohmann::json log = Json({"log", "dump"});
  EXPECT_EQ(log["hex"], "68656c6c6f0102");
  EXPECT_EQ(log["log_used_bytes"], 7);
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
  const Outcome run = Invoke({"data", "read", "4", "0", "1"});  // area 4 has no pages
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_THAT(run.err, HasSubstr("KLIAReadDataEx"));
  EXPECT_THAT(run.err, ::testing::ContainsRegex("LastError +7506 +out of range"));
  EXPECT_THAT(run.err, HasSubstr("DeviceStatus"));
  EXPECT_THAT(run.err, HasSubstr("BindError"));
  const Outcome json = Invoke({"--json", "data", "read", "2", "51199", "2"});
  EXPECT_EQ(json.exit_code, 1);
  EXPECT_EQ(nlohmann::json::parse(json.out)["error"]["last_error"]["code"], 7506);
}

TEST_F(KliaTool, AFileThatIsNoBoardImageFailsTheTransport) {
  WriteFile(image_, "not a board image");
  const Outcome run = Invoke({"info"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_THAT(run.err, HasSubstr("KLIADriverPresent"));
  EXPECT_THAT(run.err, ::testing::ContainsRegex("LastError +255 +the transport call failed"));
  EXPECT_EQ(ReadFile(image_), "not a board image");
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
  const std::string before = ReadFile(image_);
  const Outcome run = Invoke(GetParam().args);
  EXPECT_EQ(run.exit_code, 2) << run.out;
  EXPECT_THAT(run.err, HasSubstr(GetParam().message));
  EXPECT_EQ(ReadFile(image_), before);
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
                      BadInput{{"format", "--check-word", "0"}, "from 1 to 65534"},
                      BadInput{{"watchdog", "set", "70000"}, "from 0 to 65535"},
                      BadInput{{"user", "frobnicate"}, "subcommand is required"}),
    ArgumentsName);

}  // namespace
