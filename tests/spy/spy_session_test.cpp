// The transport spy as a program meets it: klia runs against the virtual board with the spy
// in front (found first through the library path, forwarding to the virtual board named by
// HWLINK_SPY_TARGET), in separate processes, each test in its own temporary folder.
#include <dlfcn.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "process_helpers.h"

#include "trace_decode.h"
#include "trace_format.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

using namespace process_helpers;

size_t Count(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = text.find('\n', at);
    lines.push_back(text.substr(at, end - at));
    at = end == std::string::npos ? text.size() : end + 1;
  }
  return lines;
}

std::string JoinLines(const std::vector<std::string> &lines) {
  std::string text;
  for (const std::string &line : lines) text += line + "\n";
  return text;
}

// The board's pages: the image after its 512-byte header (the header's live state holds the
// clock's offset from the host's time, which differs from run to run).
std::string Pages(const fs::path &image) { return ReadFile(image).substr(512); }

class SpySession : public ::testing::Test {
 protected:
  void SetUp() override { folder_ = MakeTemporaryFolder("spy-test"); }
  void TearDown() override { RemoveFolder(folder_); }

  // The environment that puts the spy in front of the virtual board, recording to `trace`.
  std::string SpyEnvironment(const fs::path &trace, const std::string &target = VBOARD_LIBRARY) const {
    return "LD_LIBRARY_PATH=" + Quoted(SPY_FOLDER) + " HWLINK_SPY_TARGET=" + Quoted(target) +
           " HWLINK_SPY_TRACE=" + Quoted(trace.string());
  }

  // Runs `command` through sh in the test's folder, with `environment` (NAME=value words)
  // added to a clean board environment.
  Outcome Run(const std::string &environment, const std::string &command) {
    return RunCaptured("cd " + Quoted(folder_.string()) +
                           " && env -u HWLINK_VBOARD_GEOMETRY -u HWLINK_VBOARD_TRACE -u HWLINK_SPY_TARGET"
                           " -u HWLINK_SPY_TRACE -u HWLINK_SPY_SECRETS -u HWLINK_SPY_REPLAY -u HWLINK_SPY_GUARD " +
                           environment + " " + command,
                       folder_, "");
  }

  std::string Klia(const std::string &image, const std::string &arguments) const {
    return Quoted(KLIA_PROGRAM) + " --board " + Quoted((folder_ / image).string()) + " " + arguments;
  }
  std::string Trace(const std::string &arguments) const { return Quoted(KLIA_PROGRAM) + " trace " + arguments; }

  // A new board image, made without the spy (klia works only on images that exist).
  void CreateBoard(const std::string &image, const std::string &options = "") {
    const Outcome made = Run("", Klia(image, "board create" + options));
    ASSERT_EQ(made.exit_code, 0) << made.err;
  }

  hwtrace::Trace Read(const std::string &name) const { return hwtrace::ReadTraceFile((folder_ / name).string()); }

  fs::path folder_;
};

// A whole session (bind, info, users, logon, password, data, log, format with progress,
// clock, watchdog) gives the same output and the same board memory with and without the
// spy, and the spy's trace equals the virtual board's own exchange by exchange.
TEST_F(SpySession, ASessionThroughTheSpyIsTheSessionWithoutIt) {
  const Outcome plain = Run("HWLINK_VBOARD_TRACE=plain.jsonl", Klia("plain.img", "tour"));
  ASSERT_EQ(plain.exit_code, 0) << plain.err;
  const Outcome spied = Run(SpyEnvironment(folder_ / "spy.jsonl") + " HWLINK_VBOARD_TRACE=board.jsonl",
                            Klia("spied.img", "tour"));
  ASSERT_EQ(spied.exit_code, 0) << spied.err;

  EXPECT_EQ(std::regex_replace(spied.out, std::regex("spied\\.img"), "X"),
            std::regex_replace(plain.out, std::regex("plain\\.img"), "X"));
  EXPECT_EQ(Pages(folder_ / "spied.img"), Pages(folder_ / "plain.img"));

  // One line says that a spy is active and where it writes.
  EXPECT_EQ(Count(spied.err, "hwlink spy: active in process"), 1u) << spied.err;
  EXPECT_THAT(spied.err, HasSubstr("trace in " + (folder_ / "spy.jsonl").string()));

  EXPECT_EQ(Run("", Trace("diff spy.jsonl board.jsonl")).exit_code, 0);
  EXPECT_EQ(Run("", Trace("diff board.jsonl plain.jsonl")).exit_code, 0);

  const hwtrace::Trace trace = Read("spy.jsonl");
  ASSERT_EQ(trace.headers.size(), 1u);
  EXPECT_EQ(trace.headers[0].source, "spy");
  EXPECT_EQ(trace.exchanges.size(), Read("board.jsonl").exchanges.size());
  for (size_t i = 0; i < trace.exchanges.size(); ++i) EXPECT_EQ(trace.exchanges[i].seq, i + 1);

  struct stat info {};
  ASSERT_EQ(stat((folder_ / "spy.jsonl").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

// With the read-only guard, commands that write (format, a user, data, the log, the clock, a
// logon) leave the board image as it was, byte for byte: only the calls that read reach it,
// every other one is answered "no exchange" and recorded as guarded.
TEST_F(SpySession, TheReadOnlyGuardLetsOnlyReadsReachTheBoard) {
  CreateBoard("guarded.img");
  const std::string before = ReadFile(folder_ / "guarded.img");
  std::string commands;
  for (const char *command : {"format --yes --check-word 0x1234", "user write 1 --name someone",
                              "data write 2 0 --hex 0102", "log append --text x", "clock set 2026-12-10 12:00:00",
                              "watchdog set 5", "login 1122334455667788 1122334455667788", "clock get", "watchdog get", "info"}) {
    commands += (commands.empty() ? "" : "; ") + Klia("guarded.img", command);
  }
  const Outcome run = Run(SpyEnvironment(folder_ / "spy.jsonl") + " HWLINK_SPY_GUARD=read-only", "sh -c " + Quoted(commands));
  EXPECT_EQ(run.exit_code, 0) << "reading the information failed through the guard: " << run.err;
  EXPECT_THAT(run.err, HasSubstr("guard on: only calls that read the board reach it"));
  EXPECT_EQ(ReadFile(folder_ / "guarded.img"), before);

  const hwtrace::Trace trace = Read("spy.jsonl");
  size_t guarded = 0, reads = 0;
  for (const hwtrace::Exchange &x : trace.exchanges) {
    const uint8_t *param = x.param.kind == hwtrace::Block::Kind::kBytes ? x.param.data.data() : nullptr;
    const bool read = hwtrace::IsBoardRead(x.entry, x.command, x.param_length, param, x.out_length, x.in_length);
    EXPECT_EQ(x.guarded, !read) << hwtrace::CommandName(x) << " at line " << x.line;
    if (x.guarded) {
      EXPECT_EQ(x.result, 0u) << "line " << x.line;
    }
    (x.guarded ? guarded : reads) += 1;
  }
  EXPECT_GT(guarded, 0u);
  EXPECT_GT(reads, 0u);
  const Outcome shown = Run("", Trace("show spy.jsonl"));
  EXPECT_THAT(shown.out, HasSubstr("guarded: not sent to the board"));
}

// The logon and password blocks and the user pages never reach the trace; their lengths do.
TEST_F(SpySession, SecretsAreWithheldUnlessTheLabSwitchIsOn) {
  ASSERT_EQ(Run(SpyEnvironment(folder_ / "spy.jsonl"), Klia("board.img", "tour")).exit_code, 0);
  const std::string text = ReadFile(folder_ / "spy.jsonl");
  // The tour's passwords "secret-1" and "secret-2", in hex.
  EXPECT_THAT(text, Not(HasSubstr("7365637265742d31")));
  EXPECT_THAT(text, Not(HasSubstr("7365637265742d32")));
  const hwtrace::Trace trace = Read("spy.jsonl");
  bool user_page_seen = false;
  for (const hwtrace::Exchange &x : trace.exchanges) {
    if (x.command == 17 || x.command == 19) {
      EXPECT_TRUE(x.out.redacted()) << "line " << x.line;
      EXPECT_EQ(x.out.length, 16u);
    }
    const bool memory = (x.command == 21 || x.command == 22) && x.param.data.size() == 6;
    const unsigned page = memory ? x.param.data[0] | x.param.data[1] << 8 : 0;
    if (memory && page >= 8 && page <= 39) {  // users 1-32 of the default board
      user_page_seen = true;
      EXPECT_TRUE((x.command == 21 ? x.in : x.out).redacted() || (x.command == 21 && !x.in.present()))
          << "line " << x.line;
    }
    if (memory && page < 8 && x.command == 21 && x.status == 0) {
      EXPECT_FALSE(x.in.redacted()) << "line " << x.line;
    }
  }
  EXPECT_TRUE(user_page_seen);

  ASSERT_EQ(Run(SpyEnvironment(folder_ / "lab.jsonl") + " HWLINK_SPY_SECRETS=keep", Klia("lab.img", "tour")).exit_code,
            0);
  EXPECT_THAT(ReadFile(folder_ / "lab.jsonl"), HasSubstr("7365637265742d31"));
}

TEST_F(SpySession, SettingsComeFromTheFileBesideTheSpyAndTheEnvironmentWins) {
  // A spy folder of its own, with its configuration file.
  const fs::path spy = folder_ / "spy";
  CopyIntoFolder(spy, {{"libhwlink32.so", fs::path(SPY_FOLDER) / "libhwlink32.so"}});
  WriteFile(spy / "hwlink-spy.conf", "# installed for one session\ntarget = " + std::string(VBOARD_LIBRARY) +
                                         "\ntrace = from-file.jsonl\n");
  const std::string library_path = "LD_LIBRARY_PATH=" + Quoted(spy.string());
  CreateBoard("board.img");
  const Outcome run = Run(library_path, Klia("board.img", "info"));
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_GT(Read("spy/from-file.jsonl").exchanges.size(), 0u);

  const Outcome overridden = Run(library_path + " HWLINK_SPY_TRACE=env.jsonl", Klia("board.img", "info"));
  ASSERT_EQ(overridden.exit_code, 0) << overridden.err;
  EXPECT_GT(Read("env.jsonl").exchanges.size(), 0u);

  // A configuration file in the current folder is not read.
  WriteFile(folder_ / "hwlink-spy.conf", "trace = cwd.jsonl\n");
  fs::remove(spy / "hwlink-spy.conf");
  Run(library_path + " HWLINK_SPY_TARGET=" + Quoted(VBOARD_LIBRARY), Klia("board.img", "info"));
  EXPECT_FALSE(fs::exists(folder_ / "cwd.jsonl"));
  EXPECT_TRUE(fs::exists(spy / "hwlink-trace.jsonl"));  // the default: beside the spy
}

// A target that cannot be loaded makes every call "no exchange", said once on stderr and in
// the trace; a bare name is never looked for in the current folder; the spy refuses itself.
TEST_F(SpySession, ATargetThatCannotBeLoadedAnswersNoExchange) {
  fs::copy_file(VBOARD_LIBRARY, folder_ / "libhwlink32-real.so");  // in the current folder: must not be used
  CreateBoard("board.img");
  const std::string made = ReadFile(folder_ / "board.img");
  const struct {
    const char *name;
    std::string target;
    const char *reason;
  } cases[] = {
      {"missing file", (folder_ / "nowhere" / "libhwlink32.so").string(), "cannot load the real transport"},
      {"default name, only in the current folder", "", "no file libhwlink32-real.so in the program's folder"},
      {"relative path", "./libhwlink32-real.so", "neither a full path nor a bare file name"},
      {"the spy itself", (fs::path(SPY_FOLDER) / "libhwlink32.so").string(), "is this spy itself"},
      {"not a transport", "/bin/sh", "cannot load the real transport"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(folder_ / "t.jsonl");
    std::string environment = SpyEnvironment(folder_ / "t.jsonl", c.target);
    if (c.target.empty()) environment = "LD_LIBRARY_PATH=" + Quoted(SPY_FOLDER) + " HWLINK_SPY_TRACE=t.jsonl";
    const Outcome run = Run(environment, Klia("board.img", "info"));
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(Count(run.err, c.reason), 1u) << run.err;
    const hwtrace::Trace trace = Read("t.jsonl");
    ASSERT_EQ(trace.notes.size(), 1u);
    EXPECT_THAT(trace.notes[0].text, HasSubstr(c.reason));
    ASSERT_FALSE(trace.exchanges.empty());
    for (const hwtrace::Exchange &x : trace.exchanges) EXPECT_EQ(x.result, 0u);
  }
  EXPECT_EQ(ReadFile(folder_ / "board.img"), made);  // the virtual board never ran
}

// A trace that cannot be written never fails the session: the calls go on and the spy says
// so once.
TEST_F(SpySession, AnUnwritableTraceLeavesTheSessionAlone) {
  const Outcome plain = Run("", Klia("plain.img", "tour"));
  for (const std::string &trace : {(folder_ / "no-such-folder" / "t.jsonl").string(), std::string("/dev/null")}) {
    SCOPED_TRACE(trace);
    fs::remove(folder_ / "board.img");
    const Outcome run = Run(SpyEnvironment(trace), Klia("board.img", "tour"));
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(Count(run.err, "cannot write the trace"), 1u) << run.err;
    EXPECT_EQ(Pages(folder_ / "board.img"), Pages(folder_ / "plain.img"));
  }
}

// The trace is written only into a trace: a link in its place, a board image, the real
// transport, a text, a fifo or a folder named as the trace are refused, said once and left
// byte for byte as they were, and the session goes on without a trace. An empty file (as klia
// trace replay makes one) and an existing trace are appended to; a trace that others may read
// is said once, with the cure.
TEST_F(SpySession, TheTraceIsWrittenOnlyIntoATrace) {
  CreateBoard("board.img");
  CopyIntoFolder(folder_ / "real", {{"libhwlink32-real.so", VBOARD_LIBRARY}});
  const fs::path real = folder_ / "real" / "libhwlink32-real.so";
  WriteFile(folder_ / "notes.txt", "a text the person keeps\n");
  fs::create_symlink(folder_ / "board.img", folder_ / "link.jsonl");
  fs::create_symlink(folder_ / "gone.jsonl", folder_ / "dangling.jsonl");
  ASSERT_EQ(mkfifo((folder_ / "fifo.jsonl").c_str(), 0600), 0);
  fs::create_directories(folder_ / "folder.jsonl");
  const struct {
    const char *name;
    fs::path trace;
    const char *why;
  } refused[] = {
      {"a link to the board image", folder_ / "link.jsonl", " is a symbolic link"},
      {"a link to no file yet", folder_ / "dangling.jsonl", " is a symbolic link"},
      {"the board image", folder_ / "board.img", " is not a board trace (it does not begin with a trace header)"},
      {"the real transport", real, " is not a board trace (it does not begin with a trace header)"},
      {"a text", folder_ / "notes.txt", " is not a board trace (it does not begin with a trace header)"},
      {"a fifo", folder_ / "fifo.jsonl", " is not a regular file"},
      {"a folder", folder_ / "folder.jsonl", " is a folder"},
      {"a device", "/dev/null", " is not a regular file"},
  };
  for (const auto &c : refused) {
    SCOPED_TRACE(c.name);
    const std::string before = fs::is_regular_file(c.trace) ? ReadFile(c.trace) : "";
    const Outcome run = Run(SpyEnvironment(c.trace, real.string()), Klia("board.img", "info"));
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(Count(run.err, "cannot write the trace"), 1u) << run.err;
    EXPECT_THAT(run.err, HasSubstr("cannot write the trace: " + c.trace.string() + c.why));
    EXPECT_THAT(run.err, HasSubstr(": name a new file or an existing trace with HWLINK_SPY_TRACE or trace = in "
                                   "hwlink-spy.conf; calls are still forwarded, without a trace"));
    if (fs::is_regular_file(c.trace)) {
      EXPECT_EQ(ReadFile(c.trace), before);
    }
  }
  EXPECT_FALSE(fs::exists(folder_ / "gone.jsonl"));
  EXPECT_TRUE(fs::is_symlink(folder_ / "link.jsonl"));

  // An empty file, as klia trace replay makes it; then the same file as an existing trace,
  // opened up to others: appended to, and said.
  const fs::path trace = folder_ / "t.jsonl";
  WriteFile(trace, "");
  fs::permissions(trace, fs::perms::owner_read | fs::perms::owner_write);
  Outcome run = Run(SpyEnvironment(trace), Klia("board.img", "info"));
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_THAT(run.err, Not(HasSubstr("cannot write")));
  EXPECT_THAT(run.err, Not(HasSubstr("chmod")));
  EXPECT_EQ(Read("t.jsonl").headers.size(), 1u);
  fs::permissions(trace, fs::perms::group_read | fs::perms::others_read, fs::perm_options::add);
  run = Run(SpyEnvironment(trace), Klia("board.img", "info"));
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_THAT(run.err, Not(HasSubstr("cannot write")));
  EXPECT_EQ(Count(run.err, trace.string() + " may be read by others than its owner (mode 0644)"), 1u) << run.err;
  EXPECT_THAT(run.err, HasSubstr("chmod 600 " + trace.string()));
  const hwtrace::Trace appended = Read("t.jsonl");
  EXPECT_EQ(appended.headers.size(), 2u);
  EXPECT_TRUE(appended.warning.empty());
}

// The disk fills up mid-session (the file size limit stands in for it): the session goes on,
// the spy says so once, and every record before is readable.
TEST_F(SpySession, ATraceDiskThatFillsUpLeavesTheRecordsBeforeIt) {
  const Outcome run = Run(SpyEnvironment(folder_ / "t.jsonl"),
                          "sh -c " + Quoted("trap '' XFSZ; ulimit -f 256; exec " + Klia("board.img", "tour")));
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(Count(run.err, "cannot write the trace"), 1u) << run.err;
  EXPECT_LE(fs::file_size(folder_ / "t.jsonl"), 256u * 1024);  // 512- or 1024-byte blocks
  const hwtrace::Trace trace = Read("t.jsonl");
  ASSERT_GT(trace.exchanges.size(), 10u);
  for (size_t i = 0; i < trace.exchanges.size(); ++i) EXPECT_EQ(trace.exchanges[i].seq, i + 1);
  const Outcome show = Run("", Trace("show t.jsonl"));
  EXPECT_EQ(show.exit_code, 0) << show.err;
}

// A program started with its standard streams closed: neither the spy's trace nor the
// virtual board's lands on descriptors 0-2, where the program's own output would go.
TEST_F(SpySession, TracesNeverTakeTheStandardStreamsOfAProgramStartedWithoutThem) {
  CreateBoard("board.img");
  Run(SpyEnvironment(folder_ / "spy.jsonl") + " HWLINK_VBOARD_TRACE=board.jsonl",
      "sh -c " + Quoted("exec " + Klia("board.img", "info") + " <&- >&- 2>&-"));
  for (const char *name : {"spy.jsonl", "board.jsonl"}) {
    SCOPED_TRACE(name);
    const hwtrace::Trace trace = Read(name);
    EXPECT_TRUE(trace.warning.empty());
    EXPECT_GT(trace.exchanges.size(), 0u);
    EXPECT_THAT(ReadFile(folder_ / name), Not(HasSubstr("Board information")));
  }
}

// A host killed mid-session loses no record written before the kill.
TEST_F(SpySession, AHostKilledMidSessionLeavesEveryEarlierRecordReadable) {
  // A large board: formatting reads 60000 pages, long enough to be killed in the middle.
  const bool asks = Run("", Klia("big.img", "format --help")).out.find("--yes") != std::string::npos;
  const std::string format = asks ? "format --yes --check-word 1" : "format --check-word 1";
  CreateBoard("big.img", " --users 8 --data-pages 60000 --log-pages 8 --page-size 256");
  const std::string command = SpyEnvironment(folder_ / "t.jsonl") + " " + Klia("big.img", format);
  const std::string line = "cd " + Quoted(folder_.string()) + " && env " + command + " >/dev/null 2>&1 & echo $! >" +
                           Quoted((folder_ / "pid").string());
  ASSERT_EQ(std::system(line.c_str()), 0);
  const pid_t pid = static_cast<pid_t>(std::stol(ReadFile(folder_ / "pid")));
  std::error_code ignored;
  auto written = [&] {
    const uintmax_t size = fs::file_size(folder_ / "t.jsonl", ignored);
    return ignored ? 0 : size;
  };
  for (int i = 0; i < 2000 && written() < 200000; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(kill(pid, SIGKILL), 0) << "the session ended before it could be killed";
  for (int i = 0; i < 400 && kill(pid, 0) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));

  const hwtrace::Trace trace = Read("t.jsonl");
  EXPECT_TRUE(trace.warning.empty()) << trace.warning;
  ASSERT_GT(trace.exchanges.size(), 100u);
  EXPECT_LT(trace.exchanges.size(), 60000u);
  for (size_t i = 0; i < trace.exchanges.size(); ++i) ASSERT_EQ(trace.exchanges[i].seq, i + 1);
}

// Several processes appending to one trace at once: every record whole, each process's
// records in its own order.
TEST_F(SpySession, SeveralProcessesShareOneTraceRecordByRecord) {
  ASSERT_EQ(Run(SpyEnvironment(folder_ / "one.jsonl"), Klia("one.img", "tour")).exit_code, 0);
  const size_t per_session = Read("one.jsonl").exchanges.size();
  std::string loop;
  for (const char *image : {"b1.img", "b2.img", "b3.img", "b4.img"}) loop += Klia(image, "tour >/dev/null") + " & ";
  const std::string command = "sh -c " + Quoted(loop + "wait");
  ASSERT_EQ(Run(SpyEnvironment(folder_ / "all.jsonl"), command).exit_code, 0);
  const hwtrace::Trace trace = Read("all.jsonl");
  EXPECT_EQ(trace.headers.size(), 4u);
  std::map<uint32_t, uint64_t> last_seq;
  for (const hwtrace::Exchange &x : trace.exchanges) EXPECT_EQ(x.seq, ++last_seq[x.pid]);
  ASSERT_EQ(last_seq.size(), 4u);
  for (const auto &[pid, count] : last_seq) EXPECT_EQ(count, per_session);
}

// ---------------------------------------------------------------------------------------
// Replay

class Replay : public SpySession {
 protected:
  void SetUp() override {
    SpySession::SetUp();
    // The recording: the virtual board's own trace of a tour (nothing withheld).
    const Outcome recorded = Run("HWLINK_VBOARD_TRACE=rec.jsonl", Klia("rec.img", "tour"));
    ASSERT_EQ(recorded.exit_code, 0) << recorded.err;
    lines_ = Lines(ReadFile(folder_ / "rec.jsonl"));
  }

  Outcome ReplayTour(const std::string &trace, const std::string &options = "") {
    return Run("", Trace("replay " + options + " --spy " + Quoted(SPY_FOLDER) + " " + trace + " -- " +
                         Klia("fresh.img", "tour")));
  }

  std::vector<std::string> lines_;  // lines_[0] is the header, lines_[n] exchange n
};

TEST_F(Replay, ARecordedSessionReplaysClean) {
  const Outcome run = ReplayTour("rec.jsonl");
  EXPECT_EQ(run.exit_code, 0) << run.out << run.err;
  EXPECT_THAT(run.out, HasSubstr("all " + std::to_string(lines_.size() - 1) + " exchange(s) came as recorded"));
  EXPECT_THAT(run.out, HasSubstr("tour complete"));
  EXPECT_FALSE(fs::exists(folder_ / "fresh.img"));  // answered from the recording alone
}

TEST_F(Replay, ADroppedExchangeIsReportedAtThatExchange) {
  std::vector<std::string> edited = lines_;
  edited.erase(edited.begin() + 40);  // exchange 40
  WriteFile(folder_ / "dropped.jsonl", JoinLines(edited));
  const Outcome run = ReplayTour("dropped.jsonl");
  EXPECT_EQ(run.exit_code, 1) << run.out << run.err;
  EXPECT_THAT(run.out, HasSubstr("left the recording at exchange 40:"));
  EXPECT_THAT(run.out, HasSubstr("exchange 40 differs from the recording"));
  EXPECT_THAT(run.out, HasSubstr("39 of " + std::to_string(edited.size() - 1) + " recorded exchange(s) served"));

  const Outcome json = Run("", Quoted(KLIA_PROGRAM) + " --json trace replay --spy " + Quoted(SPY_FOLDER) +
                                   " dropped.jsonl -- " + Klia("fresh.img", "tour"));
  EXPECT_EQ(json.exit_code, 1);
  const nlohmann::json report = nlohmann::json::parse(json.out.substr(json.out.rfind("\n{") + 1));
  EXPECT_EQ(report["clean"], false);
  EXPECT_EQ(report["divergence"]["exchange"], 40);
  EXPECT_EQ(report["exchanges_served"], 39);
}

// An edited answer is served as edited; the run leaves the recording where the program's next
// request shows it (here: a refused page read ends the operation), and the report shows the
// edited exchange as the last one served.
TEST_F(Replay, AChangedAnswerIsServedAndTheRunLeavesTheRecordingRightAfterIt) {
  // The first whole-page read after the format's own reads: a read of data that the tour checks.
  size_t changed = 0;
  for (size_t n = 1; n < lines_.size(); ++n) {
    if (lines_[n].find("\"command\":21,") != std::string::npos && lines_[n].find("\"status\":0") != std::string::npos &&
        n > 200) {
      changed = n;
      break;
    }
  }
  ASSERT_NE(changed, 0u);
  std::vector<std::string> edited = lines_;
  nlohmann::json record = nlohmann::json::parse(edited[changed]);
  record["status"] = 7;
  record["in"] = nullptr;
  edited[changed] = record.dump();
  WriteFile(folder_ / "changed.jsonl", JoinLines(edited));
  const Outcome run = ReplayTour("changed.jsonl", "--record replayed.jsonl");
  EXPECT_EQ(run.exit_code, 1) << run.out << run.err;
  EXPECT_THAT(run.out, HasSubstr("left the recording at exchange " + std::to_string(changed + 1) + ":"));
  EXPECT_THAT(run.out, HasSubstr("#" + std::to_string(changed) + " (line " + std::to_string(changed + 1) +
                                 ")  read memory [21]"));
  EXPECT_THAT(run.out, HasSubstr("board status 7 (0x07)"));
  // The replayed session's own trace is kept on request: the edited answer as served.
  const hwtrace::Trace replayed = Read("replayed.jsonl");
  ASSERT_GE(replayed.exchanges.size(), changed);
  EXPECT_EQ(replayed.exchanges[changed - 1].status, 7);
}

TEST_F(Replay, AnswersThatWereWithheldCannotBeReplayed) {
  ASSERT_EQ(Run(SpyEnvironment(folder_ / "spy.jsonl"), Klia("spied.img", "tour")).exit_code, 0);
  const Outcome run = ReplayTour("spy.jsonl");
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_THAT(run.out, HasSubstr("holds no bytes for its answer (withheld)"));
  // The first page read of a user record: the first 21 from page 8 on.
  const hwtrace::Trace recorded = Read("spy.jsonl");
  size_t first = 0;
  while (first < recorded.exchanges.size() && !recorded.exchanges[first].in.redacted()) ++first;
  EXPECT_THAT(run.out, HasSubstr("left the recording at exchange " + std::to_string(first + 1) + ":"));
}

// Processes run one after another under one replay go on where the previous one stopped.
TEST_F(Replay, SeveralProcessesReplayOneAfterAnother) {
  CreateBoard("two.img");
  ASSERT_EQ(Run("HWLINK_VBOARD_TRACE=two.jsonl",
                "sh -c " + Quoted(Klia("two.img", "info") + " && " + Klia("two.img", "user list")))
                .exit_code,
            0);
  // The image must exist for klia, but the replay answers without it.
  const Outcome run = Run("", Trace("replay --json --spy " + Quoted(SPY_FOLDER) + " two.jsonl -- sh -c " +
                                    Quoted(Klia("two.img", "info") + " && " + Klia("two.img", "user list"))));
  ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
  const nlohmann::json report = nlohmann::json::parse(run.out.substr(run.out.rfind("\n{") + 1));
  EXPECT_EQ(report["clean"], true);
  EXPECT_EQ(report["exchanges_served"], report["exchanges_recorded"]);
}

// ---------------------------------------------------------------------------------------
// The read-only guard

using Guard = SpySession;

// Reads pass the guard untouched: the same output as without the spy (info adds only that it
// ran through the spy), nothing guarded, and the spy says that the guard is on.
TEST_F(Guard, ReadsPassAsWithoutTheSpy) {
  CreateBoard("board.img");
  const std::string commands[] = {"info", "user list", "data read 2 0 600", "clock get", "watchdog get",
                                  "config get", "hwstep get", "user read 1"};
  for (const std::string &command : commands) {
    SCOPED_TRACE(command);
    const Outcome plain = Run("", Klia("board.img", command));
    fs::remove(folder_ / "t.jsonl");
    const Outcome guarded = Run(SpyEnvironment(folder_ / "t.jsonl") + " HWLINK_SPY_GUARD=read-only",
                                Klia("board.img", command));
    EXPECT_EQ(guarded.exit_code, plain.exit_code) << guarded.err;  // (a fresh board holds no configuration record)
    if (command.rfind("clock", 0) != 0) {
      // (The clock moves on; info names the spy it was reached through, after what it read.)
      const size_t spy_named = guarded.out.find("Transport spy: ");
      EXPECT_EQ(guarded.out.substr(0, spy_named), plain.out);
      EXPECT_EQ(spy_named == std::string::npos, command != "info");
    }
    EXPECT_THAT(guarded.err, HasSubstr("; guard on: only calls that read the board reach it"));
    EXPECT_THAT(guarded.err, Not(HasSubstr("kept")));
    const hwtrace::Trace trace = Read("t.jsonl");
    EXPECT_EQ(trace.headers.at(0).guard, "read-only");
    ASSERT_FALSE(trace.exchanges.empty());
    for (const hwtrace::Exchange &x : trace.exchanges) {
      EXPECT_FALSE(x.guarded) << "line " << x.line;
      EXPECT_EQ(x.status, 0) << "line " << x.line;
    }
  }
}

// Every klia command that would change the board: stopped at its first command that does not
// read, recorded as guarded, the board image the same byte for byte, and the person told once.
TEST_F(Guard, EveryWritingCommandIsStoppedAndTheBoardStaysAsItWas) {
  CreateBoard("board.img");
  // User 1 in use, so that deleting it has something to overwrite.
  ASSERT_EQ(Run("", Klia("board.img", "user write 1 --key 1122334455667788")).exit_code, 0);
  const std::string before = ReadFile(folder_ / "board.img");
  const struct {
    const char *command;
    unsigned guarded_command;  // the first command the guard keeps from the board
    bool fails;                // klia can tell that it failed
  } cases[] = {
      {"clock set '2031-02-03 04:05:06'", 28, true},
      {"watchdog set 100", 30, true},
      {"log clear", 24, true},
      {"log append --hex 0102", 20, true},
      // The page is written back by KLIAFlush, which returns nothing: klia reads the error state.
      {"data write 2 5 --hex 0102", 22, true},
      {"config set --byte0 7", 22, true},
      {"hwstep set 5", 22, true},
      {"user write 1 --key 0102030405060708", 22, true},
      {"user delete 1 --yes", 22, true},
      {"login 0102030405060708 0102030405060708", 17, true},
      {"logout", 18, false},  // KLIALogout returns nothing
      {"xid --hex 0102", 27, true},
      {"format --yes --check-word 1", 23, true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.command);
    fs::remove(folder_ / "t.jsonl");
    const Outcome run = Run(SpyEnvironment(folder_ / "t.jsonl") + " HWLINK_SPY_GUARD=read-only",
                            Klia("board.img", c.command));
    if (c.fails) {
      EXPECT_NE(run.exit_code, 0) << run.out;
    }
    EXPECT_EQ(Count(run.err, "hwlink spy: the read-only guard kept"), 1u) << run.err;
    EXPECT_EQ(ReadFile(folder_ / "board.img"), before);

    const hwtrace::Trace trace = Read("t.jsonl");
    const hwtrace::Exchange *first = nullptr;
    for (const hwtrace::Exchange &x : trace.exchanges) {
      const bool read = x.command == 16 || x.command == 21 || (x.command == 28 && x.param_length == 0) ||
                        (x.command == 30 && x.param_length == 0);
      EXPECT_EQ(x.guarded, !read) << "line " << x.line;
      if (x.guarded) {
        EXPECT_FALSE(x.succeeded());
        EXPECT_FALSE(x.status.has_value());
        EXPECT_FALSE(x.in.present());
        if (first == nullptr) first = &x;
      }
    }
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->command, c.guarded_command);

    const Outcome show = Run("", Trace("show t.jsonl"));
    EXPECT_EQ(show.exit_code, 0) << show.err;
    EXPECT_THAT(show.out, HasSubstr("-> guarded: not sent to the board"));
    EXPECT_THAT(show.out, HasSubstr("guard read-only"));
  }
}

// The guard does not ask who sends a command: a caller that sends every command the board
// knows, and shapes that come close to the reads, straight to the spy's entry points. Reads
// are answered; everything else gets what a missing board gives: false, and nothing written
// into the caller's status, incoming buffer or aux byte.
TEST_F(Guard, NoCallerGetsAWriteThrough) {
  CreateBoard("board.img");
  const std::string before = ReadFile(folder_ / "board.img");
  // The spy reads its settings when it is loaded into this process; they go when the test ends.
  EnvironmentChange environment;
  environment.Set("HWLINK_SPY_TARGET", VBOARD_LIBRARY);
  environment.Set("HWLINK_SPY_TRACE", (folder_ / "t.jsonl").string());
  environment.Set("HWLINK_SPY_GUARD", "read-only");
  environment.Set("HWLINK_VBOARD_IMAGE", (folder_ / "board.img").string());
  for (const char *name : {"HWLINK_SPY_SECRETS", "HWLINK_SPY_REPLAY", "HWLINK_VBOARD_TRACE", "HWLINK_VBOARD_GEOMETRY"}) {
    environment.Remove(name);
  }
  void *spy = dlopen((fs::path(SPY_FOLDER) / "libhwlink32.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(spy, nullptr) << dlerror();
  using Transfer = uint32_t (*)(uint8_t, uint8_t, const void *, uint8_t, const void *, uint8_t, void *, uint8_t *,
                                uint8_t *);
  using TransferEx = uint32_t (*)(uint8_t, uint8_t, const void *, uint16_t, const void *, uint16_t, void *,
                                  uint8_t *, uint8_t *);
  const auto transfer = reinterpret_cast<Transfer>(dlsym(spy, "HwTransfer"));
  const auto transfer_ex = reinterpret_cast<TransferEx>(dlsym(spy, "HwTransferEx"));
  ASSERT_NE(transfer, nullptr);
  ASSERT_NE(transfer_ex, nullptr);

  using Bytes = std::vector<uint8_t>;
  const Bytes page_0 = {0, 0, 0, 0, 16, 0};
  const Bytes check_word = {3, 0, 0, 0, 4, 0};
  const Bytes sixteen(16, 0x33);
  const struct {
    const char *name;
    bool extended;
    uint8_t command;
    Bytes param, out;
    uint16_t in_length;
    bool read;
  } cases[] = {
      {"read information", false, 16, {}, {}, 51, true},
      {"read memory", true, 21, page_0, {}, 16, true},
      {"read clock", false, 28, {}, {}, 6, true},
      {"read watchdog", false, 30, {}, {}, 2, true},
      {"set device access", false, 6, {0x41}, {}, 0, false},
      {"IA result", false, 13, {0x82, 4}, {1, 2, 3, 4}, 0, false},
      {"logon", false, 17, {}, sixteen, 0, false},
      {"logout", false, 18, {}, {}, 0, false},
      {"change password", false, 19, {}, sixteen, 0, false},
      {"append to log", true, 20, {2, 0}, {1, 2}, 0, false},
      {"write memory", true, 22, check_word, {0x34, 0x12, 0x61, 0xB8}, 0, false},
      {"initialise pages", false, 23, {}, {}, 0, false},
      {"clear log", false, 24, {}, {}, 0, false},
      {"connect database", false, 25, {}, {}, 0, false},
      {"make user XID", false, 27, {1, 0}, {9}, 4, false},
      {"set clock", false, 28, {0, 0, 0x12, 1, 1, 0x25}, {}, 0, false},
      {"set watchdog", false, 30, {0x34, 0x12}, {}, 0, false},
      {"a command the library does not send", false, 99, {}, {}, 4, false},
      {"read memory asking more than its block counts", true, 21, page_0, {}, 17, false},
      {"read memory through the 8-bit entry point", false, 21, page_0, {}, 16, false},
      {"read information sending a byte", false, 16, {}, {1}, 51, false},
      {"clock with a block both ways", false, 28, {0, 0, 0x12, 1, 1, 0x25}, {}, 6, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    uint8_t in[64];
    std::memset(in, 0xEE, sizeof in);
    uint8_t status = 0xA5;
    uint8_t aux = 0x5A;
    const void *param = c.param.empty() ? nullptr : c.param.data();
    const void *out = c.out.empty() ? nullptr : c.out.data();
    void *into = c.in_length != 0 ? in : nullptr;
    const uint32_t result =
        c.extended ? transfer_ex(c.command, static_cast<uint8_t>(c.param.size()), param,
                                 static_cast<uint16_t>(c.out.size()), out, c.in_length, into, &status, &aux)
                   : transfer(c.command, static_cast<uint8_t>(c.param.size()), param, static_cast<uint8_t>(c.out.size()),
                              out, static_cast<uint8_t>(c.in_length), into, &status, &aux);
    if (c.read) {
      EXPECT_EQ(result & 0xFF, 1u);
      EXPECT_EQ(status, 0);
    } else {
      EXPECT_EQ(result, 0u);
      EXPECT_EQ(status, 0xA5);
      EXPECT_EQ(aux, 0x5A);
      EXPECT_EQ(Bytes(in, in + sizeof in), Bytes(sizeof in, 0xEE));
    }
  }
  EXPECT_EQ(ReadFile(folder_ / "board.img"), before);
  const hwtrace::Trace trace = Read("t.jsonl");
  ASSERT_EQ(trace.exchanges.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(trace.exchanges[i].guarded, !cases[i].read) << cases[i].name;
    EXPECT_EQ(trace.exchanges[i].command, cases[i].command) << cases[i].name;
  }
  EXPECT_TRUE(trace.exchanges[6].out.redacted());  // a guarded logon withholds its blocks all the same
}

// A guard setting the spy does not know is named, and the guard is on, in the environment
// and in the file beside the spy.
TEST_F(Guard, AnUnknownGuardValueIsSaidAndGuards) {
  CreateBoard("board.img");
  const std::string before = ReadFile(folder_ / "board.img");
  Outcome run =
      Run(SpyEnvironment(folder_ / "t.jsonl") + " HWLINK_SPY_GUARD=readonly", Klia("board.img", "watchdog set 9"));
  EXPECT_NE(run.exit_code, 0);
  EXPECT_THAT(run.err, HasSubstr("hwlink spy: HWLINK_SPY_GUARD: guard \"readonly\" is neither \"read-only\" nor "
                                 "\"off\"; the guard is on (read-only)"));
  EXPECT_THAT(run.err, HasSubstr("hwlink spy: the read-only guard kept set watchdog [30] from the board"));

  // The same in the file beside the spy, for a program that cannot be given an environment.
  const fs::path spy = folder_ / "spy";
  CopyIntoFolder(spy, {{"libhwlink32.so", fs::path(SPY_FOLDER) / "libhwlink32.so"}});
  WriteFile(spy / "hwlink-spy.conf", "target = " + std::string(VBOARD_LIBRARY) + "\nguard = read only\n");
  run = Run("LD_LIBRARY_PATH=" + Quoted(spy.string()), Klia("board.img", "watchdog set 9"));
  EXPECT_NE(run.exit_code, 0);
  EXPECT_THAT(run.err, HasSubstr((spy / "hwlink-spy.conf").string() + " line 2: guard \"read only\" is neither"));
  EXPECT_THAT(run.err, HasSubstr("; guard on: only calls that read the board reach it"));
  const hwtrace::Trace trace = Read("spy/hwlink-trace.jsonl");
  ASSERT_FALSE(trace.exchanges.empty());
  EXPECT_TRUE(trace.exchanges.back().guarded);
  EXPECT_EQ(ReadFile(folder_ / "board.img"), before);
}

// Settings files written carelessly, or to slip a write past the guard: each keeps the guard
// on, the board image stays as it was byte for byte, and each problem is said on stderr and
// noted in the trace with the file's full path, the line and the cause.
TEST_F(Guard, HostileSettingsFilesKeepTheGuardOn) {
  CreateBoard("board.img");
  const std::string before = ReadFile(folder_ / "board.img");
  const fs::path spy = folder_ / "spy";
  CopyIntoFolder(spy, {{"libhwlink32.so", fs::path(SPY_FOLDER) / "libhwlink32.so"}});
  const fs::path conf = spy / "hwlink-spy.conf";
  const bool root_reads_anything = geteuid() == 0;
  const struct {
    const char *name;
    const char *file;         // null: a folder named hwlink-spy.conf; "000": a file nobody may read
    const char *environment;  // added to the run
    const char *problem;      // in the problem said and noted ("" when nothing is wrong)
  } cases[] = {
      {"capitalised name", "Guard = read-only\n", "", ""},
      {"upper-case name", "GUARD = read-only\n", "", ""},
      {"byte-order mark", "\xEF\xBB\xBFguard = read-only\n", "", ""},
      {"colon", "# guard for the audit\nguard: read-only\n", "", " line 2 is not \"setting = value\""},
      {"read-only, then off", "guard = read-only\nguard = off\n", "", " line 2: guard is set again"},
      {"off, then read-only", "guard = off\nguard = read-only\n", "", " line 2: guard is set again"},
      {"unknown setting", "gaurd = read-only\n", "", " line 1: unknown setting \"gaurd\""},
      {"a folder in the file's place", nullptr, "", " cannot be read (it is a folder)"},
      {"a file nobody may read", "000", "", " cannot be read (Permission denied)"},
      {"environment off against the file", "guard = read-only\n", "HWLINK_SPY_GUARD=off",
       "HWLINK_SPY_GUARD=off does not lower the guard"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(conf);
    fs::remove(folder_ / "t.jsonl");
    if (c.file == nullptr) {
      fs::create_directories(conf);
    } else if (std::string(c.file) == "000") {
      WriteFile(conf, "guard = read-only\n");
      fs::permissions(conf, fs::perms::none);
      if (root_reads_anything) {
        std::printf("[  NOTE    ] \"%s\" left out: this test runs as root, who may read any file\n", c.name);
        continue;
      }
    } else {
      WriteFile(conf, c.file);
    }
    const Outcome run = Run("LD_LIBRARY_PATH=" + Quoted(spy.string()) + " HWLINK_SPY_TARGET=" + Quoted(VBOARD_LIBRARY) +
                                " HWLINK_SPY_TRACE=" + Quoted((folder_ / "t.jsonl").string()) + " " + c.environment,
                            Klia("board.img", "watchdog set 9"));
    EXPECT_NE(run.exit_code, 0) << run.out;
    EXPECT_THAT(run.err, HasSubstr("; guard on: only calls that read the board reach it"));
    EXPECT_EQ(Count(run.err, "hwlink spy: the read-only guard kept set watchdog [30] from the board"), 1u) << run.err;
    EXPECT_EQ(ReadFile(folder_ / "board.img"), before);
    const hwtrace::Trace trace = Read("t.jsonl");
    EXPECT_EQ(trace.headers.at(0).guard, "read-only");
    ASSERT_FALSE(trace.exchanges.empty());
    EXPECT_TRUE(trace.exchanges.back().guarded);
    if (*c.problem == '\0') {
      EXPECT_THAT(run.err, Not(HasSubstr(conf.string() + " line"))) << run.err;
      EXPECT_TRUE(trace.notes.empty());
      continue;
    }
    const std::string said = (*c.environment != '\0' ? "" : conf.string()) + c.problem;
    EXPECT_EQ(Count(run.err, "hwlink spy: " + said), 1u) << run.err;
    ASSERT_EQ(trace.notes.size(), 1u);
    EXPECT_THAT(trace.notes[0].text, HasSubstr(said));
    EXPECT_THAT(trace.notes[0].text, HasSubstr("the guard is on (read-only)"));
  }
  fs::remove_all(conf);
}

// The spy tells a caller whether its guard is on and how many calls it kept from the board,
// whatever turned the guard on; in replay, what the recording's header says for it. Each case
// loads a copy of the spy of its own (one settles its settings once per process).
TEST_F(Guard, TheSpyTellsItsGuardAndTheCallsItKept) {
  CreateBoard("board.img");
  const std::string before = ReadFile(folder_ / "board.img");
  ASSERT_NE(Run(SpyEnvironment(folder_ / "guarded.jsonl") + " HWLINK_SPY_GUARD=read-only",
                Klia("board.img", "watchdog set 100"))
                .exit_code,
            0);
  ASSERT_EQ(Run("HWLINK_VBOARD_TRACE=plain.jsonl", Klia("board.img", "info")).exit_code, 0);
  ASSERT_EQ(ReadFile(folder_ / "board.img"), before);
  const struct {
    const char *name;
    const char *file;   // hwlink-spy.conf, or null for none
    const char *guard;  // HWLINK_SPY_GUARD, or null
    const char *replay;  // HWLINK_SPY_REPLAY, or null
    uint32_t on;
  } cases[] = {
      {"nothing asks for it", nullptr, nullptr, nullptr, 0},
      {"the environment", nullptr, "read-only", nullptr, 1},
      {"the file", "guard = read-only\n", nullptr, nullptr, 1},
      {"the file, the environment off", "guard = read-only\n", "off", nullptr, 1},
      {"a damaged file", "guard = off\nGuard = off\n", nullptr, nullptr, 1},
      {"off in both", "guard = off\n", "off", nullptr, 0},
      {"replaying a guarded recording", nullptr, nullptr, "guarded.jsonl", 1},
      {"replaying a recording without the guard", nullptr, "read-only", "plain.jsonl", 0},
  };
  EnvironmentChange environment;
  environment.Set("HWLINK_SPY_TARGET", VBOARD_LIBRARY);
  environment.Set("HWLINK_VBOARD_IMAGE", (folder_ / "board.img").string());
  for (const char *name : {"HWLINK_SPY_SECRETS", "HWLINK_VBOARD_TRACE", "HWLINK_VBOARD_GEOMETRY"}) {
    environment.Remove(name);
  }
  using Question = uint32_t (*)();
  using Transfer = uint32_t (*)(uint8_t, uint8_t, const void *, uint8_t, const void *, uint8_t, void *, uint8_t *,
                                uint8_t *);
  int n = 0;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path copy = folder_ / ("spy-" + std::to_string(++n));
    CopyIntoFolder(copy, {{"libhwlink32.so", fs::path(SPY_FOLDER) / "libhwlink32.so"}});
    if (c.file != nullptr) WriteFile(copy / "hwlink-spy.conf", c.file);
    environment.Set("HWLINK_SPY_TRACE", (copy / "t.jsonl").string());
    environment.Set("HWLINK_SPY_GUARD", c.guard);
    environment.Set("HWLINK_SPY_REPLAY", c.replay != nullptr ? (folder_ / c.replay).c_str() : nullptr);
    void *library = dlopen((copy / "libhwlink32.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    const auto guard = reinterpret_cast<Question>(dlsym(library, "HwSpyGuard"));
    const auto guarded_calls = reinterpret_cast<Question>(dlsym(library, "HwSpyGuardedCalls"));
    const auto transfer = reinterpret_cast<Transfer>(dlsym(library, "HwTransfer"));
    ASSERT_NE(guard, nullptr);
    ASSERT_NE(guarded_calls, nullptr);
    ASSERT_NE(transfer, nullptr);
    EXPECT_EQ(guard(), c.on);
    EXPECT_EQ(guarded_calls(), 0u);
    if (c.replay != nullptr) continue;
    const std::string image = ReadFile(folder_ / "board.img");  // an unguarded case before may have changed it
    uint8_t info[51], status = 0xA5, aux = 0;
    EXPECT_EQ(transfer(16, 0, nullptr, 0, nullptr, sizeof info, info, &status, &aux) & 0xFF, 1u);
    const uint8_t watchdog[2] = {0x34, 0x12};
    for (int i = 0; i < 2; ++i) transfer(30, 2, watchdog, 0, nullptr, 0, nullptr, &status, &aux);
    EXPECT_EQ(guarded_calls(), c.on != 0 ? 2u : 0u);
    EXPECT_EQ(guard(), c.on);
    if (c.on != 0) {
      EXPECT_TRUE(ReadFile(folder_ / "board.img") == image) << "the board image changed";
    }
  }
}

// A guarded session replays: the calls that were kept from the board are answered "no
// exchange" again, and the replayed session's own trace marks them as the recording did.
TEST_F(Guard, AGuardedSessionReplaysWithItsGuardedCalls) {
  CreateBoard("board.img");
  ASSERT_NE(Run(SpyEnvironment(folder_ / "rec.jsonl") + " HWLINK_SPY_GUARD=read-only HWLINK_SPY_SECRETS=keep",
                Klia("board.img", "watchdog set 100"))
                .exit_code,
            0);
  const Outcome run = Run("", Trace("replay --record replayed.jsonl --spy " + Quoted(SPY_FOLDER) +
                                    " rec.jsonl -- " + Klia("board.img", "watchdog set 100")));
  EXPECT_EQ(run.exit_code, 0) << run.out << run.err;
  const hwtrace::Trace replayed = Read("replayed.jsonl");
  ASSERT_FALSE(replayed.exchanges.empty());
  EXPECT_TRUE(replayed.exchanges.back().guarded);
  EXPECT_EQ(Run("", Trace("diff rec.jsonl replayed.jsonl")).exit_code, 0);

  // A guarded call and a call that the transport failed are told apart.
  std::string unguarded = ReadFile(folder_ / "rec.jsonl");
  unguarded.erase(unguarded.rfind(",\"guarded\":true"), 15);
  WriteFile(folder_ / "unguarded.jsonl", unguarded);
  const Outcome diff = Run("", Trace("diff rec.jsonl unguarded.jsonl"));
  EXPECT_EQ(diff.exit_code, 1);
  EXPECT_THAT(diff.out, HasSubstr("guarded (not sent to the board), came sent"));
  EXPECT_THAT(diff.out, HasSubstr("kept from the board by the spy's read-only guard: A 1, B 0 exchange(s)"));

  // The same in JSON: per exchange, per command, in all, and on each side of a diff.
  const nlohmann::json shown = nlohmann::json::parse(Run("", Quoted(KLIA_PROGRAM) + " --json trace show rec.jsonl").out);
  EXPECT_EQ(shown["guarded"], 1);
  EXPECT_EQ(shown["records"][0]["guard"], "read-only");
  EXPECT_EQ(shown["records"].back()["guarded"], true);
  EXPECT_EQ(shown["records"][1]["guarded"], false);
  const nlohmann::json compared =
      nlohmann::json::parse(Run("", Quoted(KLIA_PROGRAM) + " --json trace diff rec.jsonl unguarded.jsonl").out);
  EXPECT_EQ(compared["a_guarded"], 1);
  EXPECT_EQ(compared["b_guarded"], 0);
}

// ---------------------------------------------------------------------------------------
// klia trace show and diff on files a person hands over.

TEST_F(SpySession, ShowAndDiffReadTracesAndRefuseWhatIsNotOne) {
  ASSERT_EQ(Run("HWLINK_VBOARD_TRACE=a.jsonl", Klia("a.img", "tour")).exit_code, 0);
  const Outcome show = Run("", Trace("show a.jsonl"));
  ASSERT_EQ(show.exit_code, 0) << show.err;
  EXPECT_THAT(show.out, HasSubstr("read memory [21] page 3 (check word), offset 0, 4 bytes -> success"));
  EXPECT_THAT(show.out, HasSubstr("set clock [28] to 20"));
  EXPECT_THAT(show.out, HasSubstr("Per command:"));
  const Outcome json = Run("", "sh -c " + Quoted(Quoted(KLIA_PROGRAM) + " --json trace show a.jsonl"));
  ASSERT_EQ(json.exit_code, 0);
  const nlohmann::json shown = nlohmann::json::parse(json.out);
  EXPECT_EQ(shown["records"][0]["type"], "header");
  EXPECT_EQ(shown["records"][1]["name"], "read information");

  // A trace of another session: the first divergence, with context, and exit 1.
  std::vector<std::string> lines = Lines(ReadFile(folder_ / "a.jsonl"));
  nlohmann::json record = nlohmann::json::parse(lines[5]);
  std::string in = record["in"];
  in[0] = in[0] == '0' ? '1' : '0';
  record["in"] = in;
  lines[5] = record.dump();
  lines.erase(lines.begin() + 20);
  WriteFile(folder_ / "b.jsonl", JoinLines(lines));
  const Outcome diff = Run("", Trace("diff a.jsonl b.jsonl"));
  EXPECT_EQ(diff.exit_code, 1);
  EXPECT_THAT(diff.out, HasSubstr("the traces differ at exchange 5:"));
  EXPECT_THAT(diff.out, HasSubstr("incoming"));
  EXPECT_THAT(diff.out, HasSubstr("= #4"));
  EXPECT_THAT(diff.out, HasSubstr("A #5"));

  // Unreadable input: a clear message and exit 2, as JSON with --json.
  WriteFile(folder_ / "garbage.jsonl", std::string("\x7f" "ELF\x01\x02\x00\x00", 8));
  WriteFile(folder_ / "newer.jsonl",
            R"({"type":"header","format":"hwlink-trace","version":"2.0","writer":"w","source":"s","pid":1,"start_us":1})"
            "\n");
  for (const char *file : {"garbage.jsonl", "newer.jsonl", "missing.jsonl"}) {
    SCOPED_TRACE(file);
    const Outcome bad = Run("", Trace(std::string("show ") + file));
    EXPECT_EQ(bad.exit_code, 2);
    EXPECT_THAT(bad.err, HasSubstr(file));
    EXPECT_EQ(Run("", Trace(std::string("diff a.jsonl ") + file)).exit_code, 2);
    const Outcome bad_json = Run("", Quoted(KLIA_PROGRAM) + " --json trace show " + file);
    EXPECT_EQ(bad_json.exit_code, 2);
    EXPECT_TRUE(nlohmann::json::parse(bad_json.err)["error"].contains("trace"));  // errors on stderr
  }
  EXPECT_THAT(Run("", Trace("show newer.jsonl")).err, HasSubstr("newer than this reader knows"));
}

}  // namespace
