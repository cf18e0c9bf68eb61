// klia's logon keys, passwords and password blocks given without the command line: from files,
// from standard input, and typed at a prompt without echo on a terminal of klia's own (a
// pseudo-terminal), the way a person, a script and cron give them.
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utmp.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "process_helpers.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

using namespace process_helpers;

// User 2 of every test's board logs on with this key and password.
constexpr const char *kKey = "1122334455667788";
constexpr const char *kPassword = "a1a2a3a4b1b2b3b4";

class KliaSecrets : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = MakeTemporaryFolder("klia-secrets");
    image_ = folder_ / "board.img";
    ASSERT_EQ(Klia({"board", "create"}).exit_code, 0);
    ASSERT_EQ(Klia({"format", "--yes", "--check-word", "0x5A5A"}).exit_code, 0);
    WriteSecret("setup-key", kKey);
    WriteSecret("setup-password", kPassword);
    const Outcome user = Klia({"user", "write", "2", "--name", "second", "--key-file", Path("setup-key"),
                               "--password-file", Path("setup-password")});
    ASSERT_EQ(user.exit_code, 0) << user.err;
  }
  void TearDown() override { RemoveFolder(folder_); }

  void LogOn() { ASSERT_EQ(Klia({"login", kKey, kPassword}).exit_code, 0); }

  std::string Path(const std::string &name) const { return (folder_ / name).string(); }

  // A file of the test that only its owner may read, as a key file should be.
  void WriteSecret(const std::string &name, const std::string &contents,
                   fs::perms mode = fs::perms::owner_read | fs::perms::owner_write) {
    WriteFile(folder_ / name, contents);
    fs::permissions(folder_ / name, mode);
  }

  // klia --board <image> args..., standard input from the file `input` (the null device when
  // empty), `redirections` (shell syntax) after that, `prefix` before klia.
  Outcome Klia(const std::vector<std::string> &args, const std::string &input = "",
               const std::string &redirections = "", const std::string &prefix = "") {
    std::vector<std::string> with_board = {"--board", image_.string()};
    with_board.insert(with_board.end(), args.begin(), args.end());
    return RunCaptured("env -u HWLINK_VBOARD_GEOMETRY -u HWLINK_VBOARD_IMAGE " + prefix + " " +
                           CommandLine(KLIA_PROGRAM, with_board),
                       folder_, " <" + Quoted(input.empty() ? "/dev/null" : input) + redirections);
  }

  fs::path folder_;
  fs::path image_;
};

// Where the values come from, and what klia makes of it. {name} in the arguments stands for the
// test's file of that name; `input` is what standard input holds.
struct Source {
  const char *name;
  std::vector<std::string> args;
  std::map<std::string, std::string> files;  // name -> contents, each only its owner's to read
  std::string input;
  int exit_code;
  const char *out;  // in standard output (exit 0) or standard error (otherwise)
  bool logged_on_first = false;
};

class KliaSecretSource : public KliaSecrets, public ::testing::WithParamInterface<Source> {};

TEST_P(KliaSecretSource, IsReadOrRefusedWithoutShowingTheSecret) {
  const Source &source = GetParam();
  if (source.logged_on_first) LogOn();
  for (const auto &[name, contents] : source.files) WriteSecret(name, contents);
  std::vector<std::string> args;
  for (const std::string &arg : source.args) {
    args.push_back(arg.size() > 2 && arg.front() == '{' && arg.back() == '}' ? Path(arg.substr(1, arg.size() - 2))
                                                                             : arg);
  }
  WriteFile(folder_ / "input", source.input);
  const Outcome run = Klia(args, Path("input"));
  EXPECT_EQ(run.exit_code, source.exit_code) << run.out << run.err;
  if (source.exit_code == 0) {
    EXPECT_THAT(run.out, HasSubstr(source.out));
    EXPECT_EQ(run.err, "") << "no notice: nothing was given on the command line";
  } else {
    EXPECT_THAT(run.err, HasSubstr(source.out));
    EXPECT_EQ(run.out, "");
  }
  // A refusal names where the value came from, never the value itself.
  for (const char *secret : {kKey, kPassword, "11223344556677zz"}) EXPECT_THAT(run.err, Not(HasSubstr(secret)));
}

const std::string kBlock = std::string(kPassword) + "c1c2c3c4d1d2d3d4";

INSTANTIATE_TEST_SUITE_P(
    Files, KliaSecretSource,
    ::testing::Values(
        Source{"KeyAndPasswordFiles",
               {"login", "--key-file", "{key}", "--password-file", "{password}"},
               {{"key", std::string(kKey) + "\n"}, {"password", std::string(kPassword) + "\n"}},
               "",
               0,
               "logged on: user 2"},
        Source{"PasswordOnStandardInput",
               {"login", "--key-file", "{key}", "--password-file", "-"},
               {{"key", kKey}},
               std::string(kPassword) + "\n",
               0,
               "logged on: user 2"},
        Source{"BothOnStandardInputKeyFirst",
               {"login", "--key-file", "-", "--password-file", "-"},
               {},
               std::string(kKey) + "\n" + kPassword + "\n",
               0,
               "logged on: user 2"},
        Source{"WhitespaceAndLineEndsAroundTheValue",
               {"login", "--key-file", "{key}", "--password-file", "{password}"},
               {{"key", "  11 22 33 44 55 66 77 88 \r\n\n"}, {"password", std::string("\t") + kPassword}},
               "",
               0,
               "logged on: user 2"},
        Source{"UserWriteTakesKeyAndPasswordFiles",
               {"user", "write", "3", "--key-file", "{key}", "--password-file", "-"},
               {{"key", "0102030405060708\n"}},
               "1112131415161718\n",
               0,
               "data36        11121314"},
        Source{"PasswordBlockFile",
               {"user", "password", "0", "--block-file", "{block}"},
               {{"block", kBlock + "\n"}},
               "",
               0,
               "password block accepted for user 2",
               true},
        Source{"EmptyFile",
               {"login", "--key-file", "{key}", "--password-file", "{password}"},
               {{"key", " \n"}, {"password", kPassword}},
               "",
               2,
               "is empty: it should hold the logon key (16 hex digits)"},
        Source{"TwoLinesWhereOneValueIsExpected",
               {"login", "--key-file", "{key}", "--password-file", "-"},
               {{"key", std::string(kKey) + "\n" + kPassword + "\n"}},
               std::string(kPassword) + "\n",
               2,
               "holds 2 lines: it should hold the logon key (16 hex digits) alone, on one line"},
        Source{"BadHex",
               {"login", "--key-file", "{key}", "--password-file", "{password}"},
               {{"key", "11223344556677zz"}, {"password", kPassword}},
               "",
               2,
               "key: the value is not hex (character 'z')"},
        Source{"ShortValueOnStandardInput",
               {"user", "password", "0", "--block-file", "-"},
               {},
               std::string(kPassword) + "\n",
               2,
               "password block on standard input: needs exactly 16 bytes (32 hex digits), got 8",
               true},
        Source{"MissingFile",
               {"login", "--key-file", "{absent}", "--password-file", "{password}"},
               {{"password", kPassword}},
               "",
               2,
               "No such file or directory; name a file that holds the logon key, or - for standard input"},
        Source{"OneFileForTwoValues",
               {"login", "--key-file", "{key}", "--password-file", "{key}"},
               {{"key", kKey}},
               "",
               2,
               "--key-file and --password-file name the same file"},
        Source{"StandardInputShortOfALine",
               {"login", "--key-file", "-", "--password-file", "-"},
               {},
               std::string(kKey) + "\n",
               2,
               "standard input holds 1 line: it should hold the logon key, then the password, one a line"},
        Source{"ArgumentAndFileForOneValue",
               {"login", kKey, "--key-file", "{key}", "--password-file", "{password}"},
               {{"key", kKey}, {"password", kPassword}},
               "",
               2,
               "give the logon key either as KEY or with --key-file, not both"},
        Source{"BlockFileAndTheFieldsItSets",
               {"user", "write", "3", "--key-file", "{key}", "--data32", "01020304"},
               {{"key", kKey}},
               "",
               2,
               "--key-file sets --data32 already"}),
    [](const ::testing::TestParamInfo<Source> &info) { return std::string(info.param.name); });

// A key file that others may read is read, with a warning that says how to make it private.
TEST_F(KliaSecrets, AKeyFileOthersMayReadIsUsedWithAWarning) {
  WriteSecret("key", kKey,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
  WriteSecret("password", kPassword);
  const Outcome run = Klia({"login", "--key-file", Path("key"), "--password-file", Path("password")});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_THAT(run.err, HasSubstr("can be read by other users of this computer (mode 644)"));
  EXPECT_THAT(run.err, HasSubstr("chmod 600 " + Path("key")));
  EXPECT_THAT(run.err, Not(HasSubstr(Path("password"))));
}

// The argument forms still work, with a notice that names the file options; under --json the
// notice is in the one object on standard error and the result stays on standard output.
TEST_F(KliaSecrets, ArgumentFormsWorkWithANoticeNamingTheFileOptions) {
  Outcome run = Klia({"login", kKey, kPassword});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("logged on: user 2"));
  EXPECT_THAT(run.err, HasSubstr("the logon key and the password given on the command line can be seen by other "
                                 "users of this computer"));
  EXPECT_THAT(run.err, HasSubstr("--key-file FILE and --password-file FILE"));

  run = Klia({"--json", "user", "password", "0", "--block", kBlock});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(nlohmann::json::parse(run.out)["password_changed"], true);
  EXPECT_THAT(nlohmann::json::parse(run.err)["notices"][0].get<std::string>(), HasSubstr("--block-file FILE"));

  run = Klia({"user", "write", "3", "--password", kPassword});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_THAT(run.err, HasSubstr("the user's password given on the command line"));
  EXPECT_THAT(run.err, HasSubstr("--password-file FILE"));
}

// Off a terminal (cron, a pipe that never ends) a missing value is a usage error at once,
// naming the options: klia neither waits for input nor takes nothing for a key.
TEST_F(KliaSecrets, OffATerminalAMissingValueFailsAtOnceNamingTheOptions) {
  ASSERT_EQ(mkfifo(Path("open-pipe").c_str(), 0600), 0);
  struct Case {
    std::vector<std::string> args;
    const char *message;
  };
  for (const Case &c :
       {Case{{"login"},
             "no logon key and no password given, and standard input is not a terminal "
             "to ask for them: give --key-file FILE and --password-file FILE"},
        Case{{"login", kKey}, "no password given"}, Case{{"user", "password", "0"}, "give --block-file FILE"}}) {
    SCOPED_TRACE(c.args[0]);
    const auto start = std::chrono::steady_clock::now();
    // Standard input a pipe with no writer's end closed: a read would wait until the timeout.
    const Outcome run = Klia(c.args, "", " 3<>" + Quoted(Path("open-pipe")) + " <&3", "timeout 20");
    EXPECT_EQ(run.exit_code, 2) << run.err;
    EXPECT_THAT(run.err, HasSubstr(c.message));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  }
  const Outcome json = Klia({"--json", "login"});
  EXPECT_EQ(json.exit_code, 2);
  EXPECT_THAT(nlohmann::json::parse(json.err)["error"]["usage"].get<std::string>(), HasSubstr("--key-file FILE"));
}

// klia on a pseudo-terminal of its own, as on a person's terminal: what it shows there, and
// keys typed into it.
class Terminal {
 public:
  explicit Terminal(const std::vector<std::string> &args) {
    if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(master_);
      login_tty(slave_);
      unsetenv("HWLINK_VBOARD_IMAGE");
      unsetenv("HWLINK_VBOARD_GEOMETRY");
      std::vector<char *> argv;
      std::vector<std::string> words = {KLIA_PROGRAM};
      words.insert(words.end(), args.begin(), args.end());
      for (std::string &word : words) argv.push_back(word.data());
      argv.push_back(nullptr);
      execv(KLIA_PROGRAM, argv.data());
      _exit(127);
    }
  }
  ~Terminal() {
    if (pid_ > 0 && !ended_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
  }
  bool Started() const { return pid_ > 0; }

  // Waits until the terminal shows `text` after what was waited for before; false after 10 s.
  bool WaitFor(const std::string &text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    // Nothing for a while is not the end: a slow start (a sanitizer's build) shows the prompt later.
    while (screen_.find(text, seen_) == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      ReadSome();
    }
    seen_ = screen_.find(text, seen_) + text.size();
    return true;
  }
  void Type(const std::string &keys) { ASSERT_EQ(write(master_, keys.data(), keys.size()), ssize_t(keys.size())); }
  void Signal(int signal_number) { kill(pid_, signal_number); }

  // Waits for klia to end, taking what it shows meanwhile; its wait status.
  int Wait() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int status = -1;
    while (std::chrono::steady_clock::now() < deadline) {
      ReadSome();
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        ended_ = true;
        while (ReadSome()) {
        }
        return status;
      }
    }
    return -1;
  }

  bool Echoes() const {
    struct termios settings;
    return tcgetattr(slave_, &settings) == 0 && (settings.c_lflag & ECHO) != 0;
  }
  const std::string &Screen() const { return screen_; }

 private:
  // What the terminal shows within 100 ms; false when nothing came.
  bool ReadSome() {
    struct pollfd ready = {master_, POLLIN, 0};
    if (poll(&ready, 1, 100) <= 0) return false;
    char buffer[512];
    const ssize_t got = read(master_, buffer, sizeof buffer);
    if (got <= 0) return false;
    screen_.append(buffer, static_cast<size_t>(got));
    return true;
  }

  int master_ = -1;
  int slave_ = -1;
  pid_t pid_ = -1;
  bool ended_ = false;
  std::string screen_;
  size_t seen_ = 0;
};

// A conversation on the terminal: each prompt klia shows and what is typed there (\r: Enter).
struct Dialogue {
  const char *name;
  std::vector<std::string> args;
  std::vector<std::pair<std::string, std::string>> turns;
  int exit_code;
  const char *shown;  // at the end
  bool logged_on_first = false;
};

class KliaPrompt : public KliaSecrets, public ::testing::WithParamInterface<Dialogue> {};

TEST_P(KliaPrompt, AsksWithoutEchoAndPutsTheEchoBack) {
  const Dialogue &dialogue = GetParam();
  if (dialogue.logged_on_first) LogOn();
  std::vector<std::string> args = {"--board", image_.string()};
  args.insert(args.end(), dialogue.args.begin(), dialogue.args.end());
  Terminal terminal(args);
  ASSERT_TRUE(terminal.Started());
  ASSERT_TRUE(terminal.Echoes());
  for (const auto &[prompt, typed] : dialogue.turns) {
    ASSERT_TRUE(terminal.WaitFor(prompt)) << terminal.Screen();
    EXPECT_FALSE(terminal.Echoes()) << "at " << prompt;
    terminal.Type(typed + "\r");
  }
  const int status = terminal.Wait();
  ASSERT_TRUE(WIFEXITED(status)) << terminal.Screen();
  EXPECT_EQ(WEXITSTATUS(status), dialogue.exit_code) << terminal.Screen();
  EXPECT_THAT(terminal.Screen(), HasSubstr(dialogue.shown));
  for (const auto &turn : dialogue.turns) EXPECT_THAT(terminal.Screen(), Not(HasSubstr(turn.second)));
  EXPECT_TRUE(terminal.Echoes());
}

INSTANTIATE_TEST_SUITE_P(
    Terminal, KliaPrompt,
    ::testing::Values(Dialogue{"Login",
                               {"login"},
                               {{"logon key (16 hex digits): ", kKey}, {"password (16 hex digits): ", kPassword}},
                               0,
                               "logged on: user 2"},
                      Dialogue{"LoginWithTheKeyFromStandardInput",
                               {"login", "--key-file", "-", "--password-file", "-"},
                               {{"logon key (16 hex digits): ", kKey}, {"password (16 hex digits): ", kPassword}},
                               0,
                               "logged on: user 2"},
                      Dialogue{"UserWriteKeyFromStandardInput",
                               {"user", "write", "3", "--key-file", "-"},
                               {{"user's key (16 hex digits): ", "0102030405060708"}},
                               0,
                               "wrote user 3"},
                      Dialogue{"PasswordChangeAsksForTheNewPasswordTwice",
                               {"user", "password", "0"},
                               {{"current password (16 hex digits): ", kPassword},
                                {"new password (16 hex digits): ", "c1c2c3c4d1d2d3d4"},
                                {"new password again: ", "c1c2c3c4d1d2d3d4"}},
                               0,
                               "password block accepted for user 2",
                               true},
                      Dialogue{"NewPasswordTypedDifferentlyChangesNothing",
                               {"user", "password", "0"},
                               {{"current password (16 hex digits): ", kPassword},
                                {"new password (16 hex digits): ", "c1c2c3c4d1d2d3d4"},
                                {"new password again: ", "c1c2c3c4d1d2d3d5"}},
                               2,
                               "the new password typed the second time differs from the first; nothing was changed",
                               true},
                      Dialogue{"ABadValueTypedIsNamedNotShown",
                               {"login"},
                               {{"logon key (16 hex digits): ", "11223344"}},
                               2,
                               "logon key as typed: needs exactly 8 bytes (16 hex digits), got 4"}),
    [](const ::testing::TestParamInfo<Dialogue> &info) { return std::string(info.param.name); });

// Ctrl-C or SIGTERM at the prompt: the echo is back, and klia ends as that signal ends it.
TEST_F(KliaSecrets, InterruptedAtThePromptTheEchoComesBack) {
  for (const int signal_number : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal_number);
    Terminal terminal({"--board", image_.string(), "login"});
    ASSERT_TRUE(terminal.Started());
    ASSERT_TRUE(terminal.WaitFor("logon key (16 hex digits): "));
    terminal.Type(std::string(kKey) + "\r");
    ASSERT_TRUE(terminal.WaitFor("password (16 hex digits): "));
    terminal.Type("a1a2");  // half typed
    EXPECT_FALSE(terminal.Echoes());
    if (signal_number == SIGINT) {
      terminal.Type("\x03");  // Ctrl-C, as the terminal turns it into SIGINT
    } else {
      terminal.Signal(SIGTERM);
    }
    const int status = terminal.Wait();
    ASSERT_TRUE(WIFSIGNALED(status)) << terminal.Screen();
    EXPECT_EQ(WTERMSIG(status), signal_number);
    EXPECT_TRUE(terminal.Echoes());
    EXPECT_THAT(terminal.Screen(), Not(HasSubstr(kKey)));
    EXPECT_THAT(terminal.Screen(), Not(HasSubstr("a1a2")));
  }
  EXPECT_THAT(Klia({"user", "current"}).out, HasSubstr("nobody is logged on"));
}

}  // namespace
