// klia probe, klia --library and klia compare run as a person runs them, each test in its own
// temporary folder with its own board image; and the golden traces of the probe replayed.
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "process_helpers.h"
#include "trace_format.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

using namespace process_helpers;

// The probe's pages per area in the golden traces (scripts/regen-golden records them so).
constexpr const char *kGoldenPages = "2";

size_t Count(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class ProbeAndCompare : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = MakeTemporaryFolder("compare-test");
    image_ = folder_ / "board.img";
  }
  void TearDown() override {
    std::error_code ignored;
    fs::permissions(image_, fs::perms::owner_all, ignored);
    RemoveFolder(folder_);
  }

  // klia args... in the test's folder, without any board or spy setting from outside.
  Outcome Klia(const std::vector<std::string> &args, const std::string &environment = "") {
    return RunCaptured("cd " + Quoted(folder_) +
                           " && env -u HWLINK_VBOARD_GEOMETRY -u HWLINK_VBOARD_IMAGE -u HWLINK_VBOARD_TRACE"
                           " -u HWLINK_SPY_TARGET -u HWLINK_SPY_TRACE -u HWLINK_SPY_GUARD -u HWLINK_SPY_REPLAY " +
                           environment + " " + CommandLine(KLIA_PROGRAM, args),
                       folder_, " </dev/null");
  }
  Outcome OnBoard(std::vector<std::string> args, const std::string &environment = "") {
    args.insert(args.begin(), {"--board", image_.string()});
    return Klia(args, environment);
  }

  // A small formatted board with one user, so that every kind of read has something to read.
  void MakeBoard() {
    ASSERT_EQ(OnBoard({"board", "create", "--users", "4", "--data-pages", "6", "--log-pages", "4"}).exit_code, 0);
    ASSERT_EQ(OnBoard({"format", "--yes", "--check-word", "0x5A5A"}).exit_code, 0);
    const Outcome user = OnBoard({"user", "write", "2", "--name", "probe", "--data28", "01020304"});
    ASSERT_EQ(user.exit_code, 0) << user.err;
  }

  Outcome Compare(const std::string &old_library, const std::string &new_library, const std::string &name) {
    return OnBoard(
        {"--json", "compare", "--old", old_library, "--new", new_library, "--folder", (folder_ / name).string()});
  }

  fs::path folder_;
  fs::path image_;
};

// The probe reads everything and changes nothing: the image is the same byte for byte, and
// it works on an image its owner may only read.
TEST_F(ProbeAndCompare, ProbeReadsEverythingAndChangesNothing) {
  MakeBoard();
  const std::string before = ReadFile(image_);
  fs::permissions(image_, fs::perms::owner_read);
  const Outcome run = OnBoard({"--json", "probe"});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(ReadFile(image_), before);
  const nlohmann::json result = nlohmann::json::parse(run.out);
  EXPECT_EQ(result["page_size"], 256);
  EXPECT_EQ(result["problems"].size(), 0u) << result["problems"].dump();
  EXPECT_EQ(result["users"]["read"], 4);
  ASSERT_EQ(result["users"]["in_use"].size(), 1u);
  EXPECT_EQ(result["users"]["in_use"][0]["user"], 2);
  ASSERT_EQ(result["areas"].size(), 6u);
  for (const nlohmann::json &area : result["areas"]) {
    EXPECT_TRUE(area["past_end_refused"].get<bool>()) << area.dump();
    EXPECT_EQ(area["failed"], 0) << area.dump();
  }
  // Area 2 (6 pages) with the default of 4 pages from its start and its last two: all six.
  EXPECT_EQ(result["areas"][2]["pages_read"], 6);
  // Off a terminal there is no progress line.
  EXPECT_THAT(run.err, Not(HasSubstr("\r")));
}

// The pages read per area follow --pages; a board image that does not exist is not made.
TEST_F(ProbeAndCompare, ProbePagesBoundTheReadsAndAMissingImageIsNotMade) {
  ASSERT_EQ(OnBoard({"board", "create", "--users", "2", "--data-pages", "40", "--log-pages", "20"}).exit_code, 0);
  const Outcome one = OnBoard({"--json", "probe", "--pages", "1"});
  ASSERT_EQ(one.exit_code, 0) << one.err;
  EXPECT_EQ(nlohmann::json::parse(one.out)["areas"][2]["pages_read"], 3);
  const Outcome all = OnBoard({"--json", "probe", "--pages", "all"});
  ASSERT_EQ(all.exit_code, 0) << all.err;
  EXPECT_EQ(nlohmann::json::parse(all.out)["areas"][2]["pages_read"], 40);
  EXPECT_EQ(nlohmann::json::parse(all.out)["areas"][3]["pages_read"], 20);
  EXPECT_EQ(OnBoard({"probe", "--pages", "0"}).exit_code, 2);

  // The probe makes no board; it says how to make one, which the virtual board's own message
  // ("cannot open ... no such image") does not.
  const std::string none = (folder_ / "none.img").string();
  const Outcome missing = Klia({"--board", none, "probe"});
  EXPECT_NE(missing.exit_code, 0);
  EXPECT_FALSE(fs::exists(folder_ / "none.img"));
  EXPECT_THAT(missing.err, HasSubstr("make the board first with 'klia --board " + none + " board create'"));
  EXPECT_THAT(missing.err, Not(HasSubstr("says why")));
  const Outcome json = Klia({"--json", "--board", none, "probe"});
  EXPECT_EQ(json.exit_code, missing.exit_code);
  EXPECT_THAT(nlohmann::json::parse(json.err)["error"]["image"].get<std::string>(), HasSubstr("board create"));
  EXPECT_FALSE(fs::exists(folder_ / "none.img"));
}

// With --json each stream holds one JSON object whatever else is said: the spy's and the virtual
// board's own lines go into "transport_messages" and klia's notices into "notices" of the
// object on standard error, also when klia is ended by a signal while the library loads.
TEST_F(ProbeAndCompare, UnderJsonEachStreamHoldsOneObject) {
  MakeBoard();
  const std::string none = (folder_ / "none.img").string();
  const struct {
    const char *what;
    std::vector<std::string> args;
    std::string environment;
    bool result;                          // a result on standard output
    std::vector<const char *> keys;       // what the object on standard error holds
    const char *transport_says;
  } cases[] = {
      {"a probe that ran", {"--board", image_.string(), "--json", "probe"}, "", true,
       {"transport_messages"}, "hwlink spy: active in process"},
      {"no image to probe", {"--board", none, "--json", "probe"}, "", false,
       {"error", "transport_messages"}, "hwlink32: cannot open"},
      {"a notice, then a failure", {"--board", none, "--json", "user", "write", "3", "--password", "0102030405060708"},
       "", false, {"error", "notices"}, nullptr},
      {"a library that aborts while it loads", {"--board", image_.string(), "--json", "--library",
       ENDS_AT_LOAD_LIBRARY, "probe"}, "MVIAHLP_TEST_END=abort", false, {"transport_messages"},
       "hwlink spy: active in process"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome run = Klia(c.args, c.environment);
    if (c.result) {
      EXPECT_EQ(run.exit_code, 0) << run.err;
      EXPECT_TRUE(nlohmann::json::accept(run.out)) << run.out;
    } else {
      EXPECT_EQ(run.out, "");
    }
    // The shell that ran klia says in a word of its own after it when a signal ended klia.
    std::string err = run.err;
    if (!c.environment.empty()) {
      err = run.err.substr(0, run.err.find('\n') + 1);
      EXPECT_THAT(run.err.substr(err.size()), Not(HasSubstr("hwlink"))) << run.err;
    }
    nlohmann::json error;
    ASSERT_NO_THROW(error = nlohmann::json::parse(err)) << run.err;
    std::vector<std::string> keys;
    for (const auto &[key, value] : error.items()) keys.push_back(key);
    EXPECT_THAT(keys, ::testing::UnorderedElementsAreArray(c.keys)) << run.err;
    if (c.transport_says != nullptr) {
      EXPECT_THAT(error["transport_messages"].dump(), HasSubstr(c.transport_says));
    }
  }

  // With standard error closed the result still comes whole, and the private file that took
  // the transport's lines leaves nothing behind.
  const fs::path temporary = folder_ / "tmp";
  fs::create_directories(temporary);
  const std::string command = "cd " + Quoted(folder_) + " && env -u HWLINK_SPY_TARGET -u HWLINK_SPY_TRACE TMPDIR=" +
                              Quoted(temporary) + " " + Quoted(KLIA_PROGRAM) + " --board " + Quoted(image_) +
                              " --json probe >" + Quoted(folder_ / "out") + " 2>&- </dev/null";
  const int status = std::system(command.c_str());
  EXPECT_EQ(ExitCode(status), 0);
  EXPECT_EQ(nlohmann::json::parse(ReadFile(folder_ / "out"))["users"]["read"], 4);
  EXPECT_TRUE(fs::is_empty(temporary));
}

// A library without KLIAGetErrorState runs the probe; klia says once that it does not report
// its error state, and a failure names the operation only.
TEST_F(ProbeAndCompare, ALibraryWithoutTheErrorStateRunsTheProbe) {
  MakeBoard();
  const Outcome probe = OnBoard({"--library", WITHOUT_ERROR_STATE_LIBRARY, "probe"});
  ASSERT_EQ(probe.exit_code, 0) << probe.err;
  EXPECT_THAT(probe.out, HasSubstr("Every read did what it should."));
  EXPECT_EQ(Count(probe.err, "does not report its error state"), 1u) << probe.err;

  // A logon the board refuses (no user has this key).
  const std::vector<std::string> logon = {"login", "0000000000000000", "0000000000000000"};
  std::vector<std::string> through = {"--library", WITHOUT_ERROR_STATE_LIBRARY};
  through.insert(through.end(), logon.begin(), logon.end());
  const Outcome refused = OnBoard(through);
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_THAT(refused.err, HasSubstr("KLIALogin"));
  EXPECT_THAT(refused.err, Not(HasSubstr("LastError")));

  // The same refusal through klia's own library shows the error state.
  EXPECT_THAT(OnBoard(logon).err, HasSubstr("LastError"));
}

// A file that is not an interface library is named, with what it lacks; --help needs none.
TEST_F(ProbeAndCompare, AFileThatIsNoInterfaceLibraryIsNamed) {
  MakeBoard();
  const fs::path not_one = folder_ / "not-a-library.so";
  process_helpers::WriteFile(not_one, "not a library");
  const Outcome run = OnBoard({"--library", not_one.string(), "info"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_THAT(run.err, HasSubstr("cannot load " + not_one.string()));
  // The spy is a shared object with other functions: it lacks all 26.
  const Outcome spy = OnBoard({"--json", "--library", HWLINK_SPY_LIBRARY, "info"});
  EXPECT_EQ(spy.exit_code, 1);
  EXPECT_THAT(spy.err, HasSubstr("none of the 26 functions"));
  EXPECT_EQ(Klia({"--library", not_one.string(), "--help"}).exit_code, 0);
  // A library that lacks one of them is named with the one it lacks.
  const Outcome lacking = OnBoard({"--library", WITHOUT_FLUSH_LIBRARY, "info"});
  EXPECT_EQ(lacking.exit_code, 1);
  EXPECT_THAT(lacking.err, HasSubstr("no KLIAFlush (ordinal 15) of the 26 functions"));
}

// klia defines the library's functions itself, as trampolines to the loaded library; it must
// not export them, or the loaded library's calls of its own functions (KLIAFlush from a write,
// KLIAReadDataEx from the configuration record) would come back through klia.
TEST_F(ProbeAndCompare, KliaExportsNoneOfTheLibrarysFunctions) {
  if (std::system("command -v nm >/dev/null 2>&1") != 0) GTEST_SKIP() << "nm (binutils) is not installed";
  const std::string listing = folder_ / "dynamic-symbols";
  ASSERT_EQ(std::system(("nm -D --defined-only " + Quoted(KLIA_PROGRAM) + " >" + Quoted(listing)).c_str()), 0);
  const std::string symbols = ReadFile(listing);
  EXPECT_THAT(symbols, Not(HasSubstr(" KLIA")));
  EXPECT_THAT(symbols, Not(HasSubstr(" Today")));
}

TEST_F(ProbeAndCompare, OurLibraryComparedWithItselfIsTheSame) {
  MakeBoard();
  const std::string before = ReadFile(image_);
  const Outcome run = Compare(OUR_LIBRARY, OUR_LIBRARY, "same");
  ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
  const nlohmann::json result = nlohmann::json::parse(run.out);
  EXPECT_TRUE(result["same"].get<bool>());
  EXPECT_GT(result["old_exchanges"].get<int>(), 40);
  for (const char *file : {"old.jsonl", "new.jsonl", "report.txt", "old-probe.json", "new-probe.json"}) {
    EXPECT_TRUE(fs::exists(folder_ / "same" / file)) << file;
  }
  EXPECT_THAT(ReadFile(folder_ / "same" / "report.txt"), HasSubstr("the same"));
  // Both runs went through the spy, and the traces withhold the user records' bytes.
  EXPECT_THAT(ReadFile(folder_ / "same" / "old-probe.err"), HasSubstr("hwlink spy: active"));
  EXPECT_THAT(ReadFile(folder_ / "same" / "old.jsonl"), HasSubstr("\"redacted\":256"));
  EXPECT_EQ(ReadFile(image_), before);
}

// A library that reads the check word once where ours reads it twice: the report names the
// third exchange of the binding, where ours reads page 3 again and the other asks for the
// board's information.
TEST_F(ProbeAndCompare, ALibraryThatDiffersInOneExchangeIsCaughtThere) {
  MakeBoard();
  const Outcome run = Compare(OUR_LIBRARY, ONE_CHECK_WORD_READ_LIBRARY, "differ");
  ASSERT_EQ(run.exit_code, 1) << run.out << run.err;
  const nlohmann::json result = nlohmann::json::parse(run.out);
  EXPECT_FALSE(result["same"].get<bool>());
  EXPECT_EQ(result["first_difference"]["exchange"], 3);
  EXPECT_THAT(result["first_difference"]["old"].get<std::string>(), HasSubstr("read memory [21] page 3"));
  EXPECT_THAT(result["first_difference"]["new"].get<std::string>(), HasSubstr("read information [16]"));
  EXPECT_THAT(ReadFile(folder_ / "differ" / "report.txt"), HasSubstr("they differ at exchange 3"));
}

// What could not run is said cause first: a file named for a library or for the transport
// that is none is named before any probe runs; when a probe could not bind, the transport's
// own words come before klia's, which then send the person nowhere else.
TEST_F(ProbeAndCompare, CompareSaysWhatCouldNotRun) {
  MakeBoard();
  const fs::path text_file = folder_ / "notes.txt";
  process_helpers::WriteFile(text_file, "not a library\n");
  const fs::path transport = folder_ / "board-transport.so";
  fs::copy_file(fs::path(OUR_LIBRARY).parent_path() / "libhwlink32.so", transport);
  const std::string none = (folder_ / "none.img").string();
  const struct {
    const char *what;
    std::string old_library, new_library, transport, board;
    std::string begins;                  // the cause, first
    std::vector<std::string> then;       // said after it, in this order
  } cases[] = {
      {"a missing file", (folder_ / "missing.so").string(), OUR_LIBRARY, "", "",
       "--old " + (folder_ / "missing.so").string() + " does not exist", {}},
      {"the spy as the new library", OUR_LIBRARY, HWLINK_SPY_LIBRARY, "", "", "--new: ",
       {"none of the 26 functions", "name the file of an interface library"}},
      {"a text file as the old library", text_file.string(), OUR_LIBRARY, "", "", "--old: ",
       {"neither an ELF shared object nor a Windows DLL"}},
      {"a library as the transport", OUR_LIBRARY, OUR_LIBRARY, OUR_LIBRARY, "", "--transport: ",
       {"is not a board transport", "leave --transport out"}},
      {"the spy as the transport", OUR_LIBRARY, OUR_LIBRARY, HWLINK_SPY_LIBRARY, "", "--transport: ",
       {"transport spy"}},
      {"no image behind the transport", OUR_LIBRARY, OUR_LIBRARY, transport.string(), none,
       "the probe through the old library " + std::string(OUR_LIBRARY) + " could not run: hwlink32: cannot open",
       {"so it exited with status 1", "cannot bind", "'klia --board " + none + " board create'"}},
      {"no image for the virtual board", OUR_LIBRARY, OUR_LIBRARY, "", none, "no board image at " + none, {}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> args = {"--board", c.board.empty() ? image_.string() : c.board, "--json", "compare",
                                     "--old", c.old_library, "--new", c.new_library, "--folder",
                                     (folder_ / "runs").string()};
    if (!c.transport.empty()) args.insert(args.end(), {"--transport", c.transport});
    const Outcome run = Klia(args);
    std::error_code ignored;
    fs::remove_all(folder_ / "runs", ignored);
    EXPECT_EQ(run.exit_code, 2);
    nlohmann::json error;
    ASSERT_NO_THROW(error = nlohmann::json::parse(run.err)) << run.err;
    const std::string words = error["error"]["cannot_run"].get<std::string>();
    EXPECT_EQ(words.substr(0, c.begins.size()), c.begins) << words;
    size_t at = 0;
    for (const std::string &next : c.then) {
      at = words.find(next, at);
      EXPECT_NE(at, std::string::npos) << next << " after the cause in: " << words;
    }
    // No message to look for elsewhere, and no hint about the transport for what is no library.
    EXPECT_THAT(words, Not(HasSubstr("says why")));
    EXPECT_THAT(words, Not(HasSubstr("library path")));
  }
}

// A library that writes while it is asked only to read is stopped by the spy's guard: its
// write is not sent (recorded as guarded, answered "no exchange"), and the board image is
// the same byte for byte.
TEST_F(ProbeAndCompare, AWritingLibraryIsStoppedByTheGuard) {
  MakeBoard();
  const std::string before = ReadFile(image_);
  const Outcome run = Compare(WRITES_WHILE_READING_LIBRARY, OUR_LIBRARY, "writer");
  EXPECT_EQ(run.exit_code, 1) << run.out << run.err;
  EXPECT_EQ(ReadFile(image_), before);
  const hwtrace::Trace trace = hwtrace::ReadTraceFile((folder_ / "writer" / "old.jsonl").string());
  size_t writes = 0;
  for (const hwtrace::Exchange &x : trace.exchanges) {
    if (x.command != 22) continue;
    ++writes;
    EXPECT_TRUE(x.guarded) << "a write reached the board at line " << x.line;
    EXPECT_FALSE(x.succeeded()) << "a guarded write answered other than \"no exchange\" at line " << x.line;
  }
  EXPECT_GT(writes, 0u);
}

// The probe keeps its guard whatever the environment it inherits asks of the spy.
TEST_F(ProbeAndCompare, TheProbeKeepsItsGuardWhateverTheEnvironmentSays) {
  MakeBoard();
  const std::string before = ReadFile(image_);
  const Outcome run = OnBoard({"--library", WRITES_WHILE_READING_LIBRARY, "probe"}, "HWLINK_SPY_GUARD=off");
  EXPECT_NE(run.exit_code, 2) << run.err;
  EXPECT_THAT(run.err, HasSubstr("hwlink spy: active"));
  EXPECT_THAT(run.err, HasSubstr("read-only guard kept"));
  EXPECT_EQ(ReadFile(image_), before);
}

// A library that finds its transport through an old-style run path (DT_RPATH, searched before
// the library path) gets past a spy put in front of its transport by the library path. The
// probe and compare load klia's spy under the transport's name before the library: the library
// binds to it whatever its run path says, and the board stays as it was.
TEST_F(ProbeAndCompare, ALibraryWithItsOwnRunPathCannotGetPastTheSpy) {
  MakeBoard();
  const std::string before = ReadFile(image_);
  const std::string spy_folder = fs::path(HWLINK_SPY_LIBRARY).parent_path();
  for (const std::string library : {RPATH_WRITER_LIBRARY, WRITES_AT_LOAD_LIBRARY}) {
    SCOPED_TRACE(library);
    // What the fixture is for: a spy on the library path is not loaded at all.
    const Outcome bypassed = OnBoard({"--library", library, "info"},
                                     "LD_LIBRARY_PATH=" + Quoted(spy_folder) + " HWLINK_SPY_GUARD=read-only");
    EXPECT_THAT(bypassed.err, Not(HasSubstr("hwlink spy: active")));
    EXPECT_EQ(ReadFile(image_), before);  // info has the image served read-only

    const Outcome pinned = OnBoard({"--json", "--library", library, "probe"});
    EXPECT_NE(pinned.exit_code, 2) << pinned.err;
    EXPECT_THAT(pinned.err, HasSubstr("hwlink spy: active"));
    EXPECT_EQ(ReadFile(image_), before);

    const Outcome run = Compare(library, OUR_LIBRARY, fs::path(library).parent_path().filename().string());
    EXPECT_NE(run.exit_code, 2) << run.out << run.err;
    EXPECT_EQ(ReadFile(image_), before);
  }
}

// A library whose folder has a spy in front of its transport already (as 'klia spy install'
// leaves it, settings and all): the probe pins that spy, with its settings and the guard on.
TEST_F(ProbeAndCompare, AProbeThroughAFolderWithItsOwnSpyPinsThatSpy) {
  MakeBoard();
  const std::string before = ReadFile(image_);
  const fs::path site = folder_ / "site";
  CopyIntoFolder(site, {{"libmviahlp.so", RPATH_WRITER_LIBRARY},
                        {"libhwlink32-real.so", fs::path(RPATH_WRITER_LIBRARY).parent_path() / "libhwlink32.so"},
                        {"libhwlink32.so", HWLINK_SPY_LIBRARY}});
  process_helpers::WriteFile(site / "hwlink-spy.conf",
                             "target = " + (site / "libhwlink32-real.so").string() + "\ntrace = site.jsonl\n");
  const Outcome run = OnBoard({"--library", (site / "libmviahlp.so").string(), "probe"}, "HWLINK_SPY_GUARD=off");
  EXPECT_NE(run.exit_code, 2) << run.err;
  EXPECT_EQ(ReadFile(image_), before);
  const hwtrace::Trace trace = hwtrace::ReadTraceFile((site / "site.jsonl").string());
  ASSERT_EQ(trace.headers.size(), 1u);
  EXPECT_EQ(trace.headers[0].guard, "read-only");
  EXPECT_GT(trace.exchanges.size(), 40u);
}

// A library that reaches the board while it is being loaded finds the board klia chose: klia
// names the image before it loads anything.
TEST_F(ProbeAndCompare, ALibraryThatReachesTheBoardWhileLoadingFindsTheChosenImage) {
  MakeBoard();
  const std::string state = "XDG_STATE_HOME=" + Quoted(folder_ / "state");
  const Outcome probe = OnBoard({"--json", "--library", WRITES_AT_LOAD_LIBRARY, "probe"}, state);
  ASSERT_NE(probe.exit_code, 2) << probe.err;
  EXPECT_EQ(nlohmann::json::parse(probe.out)["users"]["in_use"].size(), 1u) << probe.out;

  const Outcome write =
      OnBoard({"--library", WRITES_AT_LOAD_LIBRARY, "data", "write", "2", "1000", "--hex", "01 02 03"}, state);
  ASSERT_EQ(write.exit_code, 0) << write.err;
  const Outcome read = OnBoard({"--json", "data", "read", "2", "1000", "3"});
  ASSERT_EQ(read.exit_code, 0) << read.err;
  EXPECT_THAT(read.out, HasSubstr("010203"));
  // What the library wrote while it was loaded went to the same image.
  EXPECT_THAT(OnBoard({"hwstep", "get"}).out, HasSubstr("hardware step 9"));
  EXPECT_FALSE(fs::exists(folder_ / "state"));
}

// A probe whose library ends its process is reported with how it ended, in words and in JSON.
TEST_F(ProbeAndCompare, CompareNamesHowAProbeEnded) {
  MakeBoard();
  const struct {
    const char *how, *words;
    nlohmann::json child;
  } cases[] = {
      {"exit", "it exited with status 3", {{"exit_status", 3}}},
      {"abort", "it aborted (SIGABRT)", {{"signal", "SIGABRT"}, {"crashed", true}}},
      {"crash", "it crashed (SIGSEGV)", {{"signal", "SIGSEGV"}, {"crashed", true}}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.how);
#ifdef __SANITIZE_ADDRESS__
    // AddressSanitizer takes SIGSEGV itself: it reports and exits 1.
    if (std::string(c.how) == "crash") continue;
#endif
    const std::string environment = std::string("MVIAHLP_TEST_END=") + c.how;
    const Outcome text = OnBoard({"compare", "--old", ENDS_AT_LOAD_LIBRARY, "--new", OUR_LIBRARY, "--folder",
                                  (folder_ / (std::string(c.how) + "-text")).string()},
                                 environment);
    EXPECT_EQ(text.exit_code, 2);
    EXPECT_THAT(text.err, HasSubstr("the old library " + std::string(ENDS_AT_LOAD_LIBRARY) +
                                    " could not run: " + c.words));
    const Outcome json = OnBoard({"--json", "compare", "--old", ENDS_AT_LOAD_LIBRARY, "--new", OUR_LIBRARY,
                                  "--folder", (folder_ / c.how).string()},
                                 environment);
    EXPECT_EQ(json.exit_code, 2);
    EXPECT_EQ(nlohmann::json::parse(json.err)["error"]["child"], c.child) << json.err;
  }
}

// What klia says about a spy in front of the transport is what the spy does, and a write the
// guard kept from the board is said to be the guard's doing, not the board's.
TEST_F(ProbeAndCompare, KliaSaysWhatTheSpysGuardDoes) {
  MakeBoard();
  const fs::path program = folder_ / "program";
  CopyIntoFolder(program, {{"libhwlink32.so", HWLINK_SPY_LIBRARY},
                           {"libhwlink32-real.so", fs::path(OUR_LIBRARY).parent_path() / "libhwlink32.so"}});
  const std::string through = "LD_LIBRARY_PATH=" + Quoted(program) + " HWLINK_SPY_TRACE=none HWLINK_SPY_TARGET=" +
                              Quoted(program / "libhwlink32-real.so");
  const std::string before = ReadFile(image_);

  const Outcome off = OnBoard({"info"}, through + " HWLINK_SPY_GUARD=off");
  ASSERT_EQ(off.exit_code, 0) << off.err;
  EXPECT_THAT(off.out, HasSubstr("guard: off (writes reach the board)"));
  const Outcome on = OnBoard({"--json", "info"}, through + " HWLINK_SPY_GUARD=read-only");
  ASSERT_EQ(on.exit_code, 0) << on.err;
  EXPECT_THAT(on.out, HasSubstr("\"guard_on\": true"));

  const Outcome stopped = OnBoard({"hwstep", "set", "9"}, through + " HWLINK_SPY_GUARD=read-only");
  EXPECT_EQ(stopped.exit_code, 1);
  EXPECT_THAT(stopped.err, HasSubstr("stopped by the transport spy's read-only guard"));
  EXPECT_THAT(stopped.err, HasSubstr("nothing of them was written"));
  EXPECT_EQ(ReadFile(image_), before);
  const Outcome json = OnBoard({"--json", "hwstep", "set", "9"}, through + " HWLINK_SPY_GUARD=read-only");
  // The spy's own lines are inside klia's object: standard error parses whole.
  const nlohmann::json error = nlohmann::json::parse(json.err);
  EXPECT_EQ(error["error"]["stopped_by_guard"], true) << json.err;
  EXPECT_THAT(error["transport_messages"].dump(), HasSubstr("hwlink spy: active")) << json.err;
}

// The golden traces: the probe's session on each recorded board, replayed. A difference means
// the library's traffic changed.
TEST_F(ProbeAndCompare, GoldenTracesReplayClean) {
  size_t replayed = 0;
  for (const fs::directory_entry &entry : fs::directory_iterator(GOLDEN_FOLDER)) {
    if (entry.path().extension() != ".jsonl") continue;
    ++replayed;
    const Outcome run = Klia({"trace", "replay", entry.path().string(), "--", KLIA_PROGRAM, "--board",
                              (folder_ / "no-board.img").string(), "probe", "--pages", kGoldenPages});
    EXPECT_EQ(run.exit_code, 0)
        << entry.path().filename().string() << ": the probe's traffic is no longer the recorded one:\n"
        << run.out << run.err
        << "\nIf the change is intended, regenerate the golden traces with scripts/regen-golden and review "
           "'git diff tests/golden' (README: Golden traces); otherwise the library's traffic changed.";
  }
  EXPECT_EQ(replayed, 4u);
}

// The replay catches a library whose traffic differs, at the exchange where it does.
TEST_F(ProbeAndCompare, AGoldenTraceCatchesALibraryThatDiffers) {
  const Outcome run = Klia({"--json", "trace", "replay", std::string(GOLDEN_FOLDER) + "/current.jsonl", "--",
                            KLIA_PROGRAM, "--library", ONE_CHECK_WORD_READ_LIBRARY, "--board",
                            (folder_ / "no-board.img").string(), "probe", "--pages", kGoldenPages});
  EXPECT_EQ(run.exit_code, 1) << run.out << run.err;
  EXPECT_EQ(nlohmann::json::parse(run.out)["divergence"]["exchange"], 3) << run.out;
}

}  // namespace
