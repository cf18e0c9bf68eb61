// klia swap and klia spy run as a person runs them, on a program's folder that holds a
// stand-in for a site's own library (a build of ours without KLIAGetErrorState) and transport
// (the virtual board): swap, a session through the folder, compare, undo; spy install, a
// session, remove; each ends with the folder byte for byte as it began. Every failure that can
// be provoked here leaves the folder as it was.
#include <sys/stat.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <functional>
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

using Snapshot = std::map<std::string, std::string>;

class SwapAndSpy : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = MakeTemporaryFolder("swap-spy-test");
    program_ = root_ / "program";
    CopyIntoFolder(program_, {{"libmviahlp.so.1", OLD_LIBRARY}, {"libhwlink32.so", VBOARD_LIBRARY}});
    WriteFile(program_ / "logon", "the program that loads the library");
    image_ = root_ / "board.img";
  }
  void TearDown() override {
    std::error_code ignored;
    fs::permissions(program_, fs::perms::owner_all, ignored);
    RemoveFolder(root_);
  }

  // Every name in the program's folder with its bytes (a link: where it leads).
  Snapshot Take() const {
    Snapshot snapshot;
    for (const auto &entry : fs::directory_iterator(program_)) {
      snapshot[entry.path().filename().string()] =
          entry.is_symlink() ? "link to " + fs::read_symlink(entry.path()).string() : ReadFile(entry.path());
    }
    return snapshot;
  }

  // klia args... in the test's folder, with nothing of the board or the spy set from outside;
  // `prefix` runs it through another program (setpriv), `environment` adds variables.
  Outcome Klia(const std::vector<std::string> &args, const std::string &environment = "",
               const std::string &prefix = "") {
    return RunCaptured("cd " + Quoted(root_) +
                           " && env -u HWLINK_VBOARD_GEOMETRY -u HWLINK_VBOARD_IMAGE -u HWLINK_VBOARD_TRACE"
                           " -u HWLINK_SPY_TARGET -u HWLINK_SPY_TRACE -u HWLINK_SPY_GUARD -u HWLINK_SPY_REPLAY"
                           " -u HWLINK_SPY_SECRETS -u LD_LIBRARY_PATH " +
                           environment + " " + prefix + " " + CommandLine(KLIA_PROGRAM, args),
                       root_, " </dev/null");
  }

  // A session of a program of the folder: klia's info through the folder's library, which
  // finds its transport in the folder as the program's own library would.
  Outcome Session(std::vector<std::string> args = {"info"}, const std::string &environment = "") {
    args.insert(args.begin(), {"--board", image_.string(), "--library", (program_ / "libmviahlp.so.1").string()});
    return Klia(args, "LD_LIBRARY_PATH=" + Quoted(program_) + " " + environment);
  }

  // klia's record in the program's folder, edited.
  void EditRecord(const char *record, const std::function<void(nlohmann::json &)> &edit) {
    nlohmann::json json = nlohmann::json::parse(ReadFile(program_ / record));
    edit(json);
    WriteFile(program_ / record, json.dump(2));
  }

  void MakeBoard() {
    ASSERT_EQ(Klia({"--board", image_.string(), "board", "create", "--users", "4", "--data-pages", "6", "--log-pages",
                    "4"}).exit_code, 0);
    ASSERT_EQ(Klia({"--board", image_.string(), "format", "--yes", "--check-word", "0x5A5A"}).exit_code, 0);
  }

  fs::path root_, program_, image_;
};

// The stand-in for the site's library has no KLIAGetErrorState, ours has: klia says which one a
// session went through.
constexpr const char *kOldLibrarySaid = "does not report its error state";

TEST_F(SwapAndSpy, SwapThenASessionThroughTheFolderThenUndoEndsAsItBegan) {
  MakeBoard();
  const Snapshot before = Take();
  Outcome session = Session();
  ASSERT_EQ(session.exit_code, 0) << session.err;
  EXPECT_THAT(session.err, HasSubstr(kOldLibrarySaid));

  const Outcome swap = Klia({"swap", program_.string(), "--library", OUR_LIBRARY});
  ASSERT_EQ(swap.exit_code, 0) << swap.err;
  EXPECT_THAT(swap.out, HasSubstr("libmviahlp.so.1.klia-original"));
  EXPECT_THAT(swap.out, HasSubstr("klia swap --undo " + program_.string()));
  EXPECT_EQ(ReadFile(program_ / "libmviahlp.so.1"), ReadFile(OUR_LIBRARY));
  EXPECT_EQ(ReadFile(program_ / "libmviahlp.so.1.klia-original"), ReadFile(OLD_LIBRARY));

  session = Session();
  ASSERT_EQ(session.exit_code, 0) << session.err;
  EXPECT_THAT(session.err, Not(HasSubstr(kOldLibrarySaid)));
  EXPECT_THAT(session.out, HasSubstr("Board information"));

  const Outcome status = Klia({"--json", "swap", "--status", program_.string()});
  ASSERT_EQ(status.exit_code, 0) << status.err;
  const nlohmann::json state = nlohmann::json::parse(status.out);
  EXPECT_EQ(state["state"], "in_place");
  EXPECT_EQ(state["files"][0]["holds"], "placed");
  EXPECT_EQ(state["files"][0]["original"]["kept"], "intact");

  // Twice is harmless, and says so.
  const Outcome again = Klia({"--library", OUR_LIBRARY, "swap", program_.string()});
  EXPECT_EQ(again.exit_code, 0) << again.err;
  EXPECT_THAT(again.out, HasSubstr("nothing to do"));

  const Outcome undo = Klia({"swap", "--undo", program_.string()});
  ASSERT_EQ(undo.exit_code, 0) << undo.err;
  EXPECT_EQ(Take(), before);
  const Outcome undo_again = Klia({"swap", "--undo", program_.string()});
  EXPECT_EQ(undo_again.exit_code, 0) << undo_again.err;
  EXPECT_THAT(undo_again.out, HasSubstr("nothing to undo"));
  EXPECT_EQ(Take(), before);
  EXPECT_THAT(Klia({"swap", "--status", program_.string()}).out, HasSubstr("no klia swap recorded"));
}

// A second library swapped in while one is in place replaces it in one step; the original klia
// keeps stays the site's own, the record names the library now in place, and the undo puts the
// site's library back.
TEST_F(SwapAndSpy, ASecondLibraryReplacesTheFirstAndTheUndoPutsBackTheSitesOwn) {
  const Snapshot before = Take();
  // Another build of ours: other bytes, the same functions.
  const fs::path newer = root_ / "newer" / "libmviahlp.so.1";
  fs::create_directories(newer.parent_path());
  WriteFile(newer, ReadFile(OUR_LIBRARY) + std::string(4096, '\0'));
  ASSERT_EQ(Klia({"swap", program_.string(), "--library", OUR_LIBRARY}).exit_code, 0);

  const Outcome second = Klia({"--json", "swap", program_.string(), "--library", newer.string()});
  ASSERT_EQ(second.exit_code, 0) << second.err;
  EXPECT_TRUE(nlohmann::json::parse(second.out)["changed"].get<bool>());
  EXPECT_EQ(ReadFile(program_ / "libmviahlp.so.1"), ReadFile(newer));
  EXPECT_EQ(ReadFile(program_ / "libmviahlp.so.1.klia-original"), ReadFile(OLD_LIBRARY));
  const nlohmann::json state = nlohmann::json::parse(Klia({"--json", "swap", "--status", program_.string()}).out);
  EXPECT_EQ(state["state"], "in_place");
  EXPECT_EQ(state["files"][0]["holds"], "placed");
  EXPECT_EQ(state["files"][0]["placed"]["source"], newer.string());
  EXPECT_EQ(state["files"][0]["placed"]["size"], fs::file_size(newer));
  EXPECT_EQ(state["files"][0]["original"]["size"], fs::file_size(OLD_LIBRARY));

  // The same library again: nothing to do.
  const Outcome same = Klia({"swap", program_.string(), "--library", newer.string()});
  EXPECT_EQ(same.exit_code, 0) << same.err;
  EXPECT_THAT(same.out, HasSubstr("nothing to do"));
  // The first one back in its place.
  const Outcome first = Klia({"swap", program_.string(), "--library", OUR_LIBRARY});
  ASSERT_EQ(first.exit_code, 0) << first.err;
  EXPECT_THAT(first.out, Not(HasSubstr("nothing to do")));
  EXPECT_EQ(ReadFile(program_ / "libmviahlp.so.1"), ReadFile(OUR_LIBRARY));

  const Outcome undo = Klia({"swap", "--undo", program_.string()});
  ASSERT_EQ(undo.exit_code, 0) << undo.err;
  EXPECT_EQ(Take(), before);
}

// The library swapped in and the original klia kept compared through the spy: they send the
// same, and the undo puts the folder back as it was.
TEST_F(SwapAndSpy, SwapThenCompareWithTheKeptOriginalThenUndo) {
  MakeBoard();
  const Snapshot before = Take();
  ASSERT_EQ(Klia({"swap", program_.string(), "--library", OUR_LIBRARY}).exit_code, 0);
  const Outcome compare = Klia({"--board", image_.string(), "--json", "compare", "--old",
                                (program_ / "libmviahlp.so.1.klia-original").string(), "--new",
                                (program_ / "libmviahlp.so.1").string(), "--folder", (root_ / "compared").string()});
  ASSERT_EQ(compare.exit_code, 0) << compare.out << compare.err;
  EXPECT_TRUE(nlohmann::json::parse(compare.out)["same"].get<bool>());
  ASSERT_EQ(Klia({"swap", "--undo", program_.string()}).exit_code, 0);
  EXPECT_EQ(Take(), before);
}

TEST_F(SwapAndSpy, SpyInstallThenASessionThenRemoveEndsAsItBegan) {
  MakeBoard();
  const Snapshot before = Take();
  const fs::path trace = root_ / "session.jsonl";
  const Outcome install = Klia({"spy", "install", program_.string(), "--trace", trace.string()});
  ASSERT_EQ(install.exit_code, 0) << install.err;
  EXPECT_THAT(install.out, HasSubstr("traces go to " + trace.string()));
  EXPECT_EQ(ReadFile(program_ / "libhwlink32-real.so"), ReadFile(VBOARD_LIBRARY));
  EXPECT_EQ(ReadFile(program_ / "libhwlink32.so"), ReadFile(SPY_LIBRARY));
  EXPECT_THAT(ReadFile(program_ / "hwlink-spy.conf"),
              HasSubstr("target = " + (program_ / "libhwlink32-real.so").string() + "\n"));

  // klia info says that the session went through the spy, and the spy recorded it.
  const Outcome session = Session();
  ASSERT_EQ(session.exit_code, 0) << session.err;
  EXPECT_THAT(session.err, HasSubstr("hwlink spy: active"));
  EXPECT_THAT(session.out, HasSubstr("Transport spy:"));
  EXPECT_THAT(session.out, HasSubstr("klia spy remove " + program_.string()));
  const Outcome json_session = Session({"--json", "info"});
  ASSERT_EQ(json_session.exit_code, 0) << json_session.err;
  const nlohmann::json spy = nlohmann::json::parse(json_session.out)["transport_spy"];
  EXPECT_TRUE(spy["by_klia"].get<bool>());
  EXPECT_EQ(spy["trace"], trace.string());
  EXPECT_THAT(ReadFile(trace), HasSubstr("\"type\":\"exchange\""));

  EXPECT_THAT(Klia({"spy", "status", program_.string()}).out, HasSubstr("in place"));
  const Outcome again = Klia({"spy", "install", program_.string(), "--trace", trace.string()});
  EXPECT_EQ(again.exit_code, 0) << again.err;
  EXPECT_THAT(again.out, HasSubstr("nothing to do"));
  // Other settings while it is there: said, and nothing changes.
  const Snapshot installed = Take();
  const Outcome other = Klia({"spy", "install", program_.string()});
  EXPECT_EQ(other.exit_code, 1);
  EXPECT_THAT(other.err, HasSubstr("with other settings"));
  EXPECT_EQ(Take(), installed);

  const Outcome remove = Klia({"spy", "remove", program_.string()});
  ASSERT_EQ(remove.exit_code, 0) << remove.err;
  EXPECT_THAT(remove.out, HasSubstr("the traces are in " + trace.string()));
  EXPECT_EQ(Take(), before);
  EXPECT_TRUE(fs::exists(trace));
  const Outcome remove_again = Klia({"spy", "remove", program_.string()});
  EXPECT_EQ(remove_again.exit_code, 0);
  EXPECT_THAT(remove_again.out, HasSubstr("nothing to remove"));
  // Without the spy, klia info says nothing of one.
  EXPECT_THAT(Session().out, Not(HasSubstr("Transport spy")));
}

// The spy's default trace is beside it in the folder: the removal leaves it, the sessions it
// holds being the site's record, and says so instead of that every file is back as it was.
TEST_F(SwapAndSpy, TheRemovalNamesTheTraceItLeavesInTheFolder) {
  MakeBoard();
  const Snapshot before = Take();
  const fs::path trace = program_ / "hwlink-trace.jsonl";
  const Outcome install = Klia({"spy", "install", program_.string()});
  ASSERT_EQ(install.exit_code, 0) << install.err;
  EXPECT_THAT(install.out, HasSubstr("guard: off (writes reach the board)"));
  ASSERT_EQ(Session().exit_code, 0);
  ASSERT_TRUE(fs::exists(trace));

  const Outcome remove = Klia({"spy", "remove", program_.string()});
  ASSERT_EQ(remove.exit_code, 0) << remove.err;
  EXPECT_THAT(remove.out, HasSubstr("left the trace " + trace.string() +
                                    ": it holds the recorded sessions; delete it when no longer needed"));
  EXPECT_THAT(remove.out, Not(HasSubstr("every file is back as it was")));
  Snapshot after = Take();
  EXPECT_EQ(after.erase("hwlink-trace.jsonl"), 1u);
  EXPECT_EQ(after, before);

  // Again, to the trace there now, which is appended to.
  ASSERT_EQ(Klia({"spy", "install", program_.string()}).exit_code, 0);
  const Outcome json = Klia({"--json", "spy", "remove", program_.string()});
  ASSERT_EQ(json.exit_code, 0) << json.err;
  EXPECT_EQ(nlohmann::json::parse(json.out)["left"], nlohmann::json::array({trace.string()}));
}

// A --trace that names something other than a trace is refused before anything changes: the
// spy would append its records to it.
TEST_F(SwapAndSpy, ATraceThatIsNotATraceIsRefusedAndNothingChanges) {
  MakeBoard();
  WriteFile(root_ / "notes.jsonl", "someone's notes\n");
  fs::create_symlink(root_ / "t.jsonl", root_ / "link.jsonl");
  struct Case {
    const char *what;
    fs::path trace;
    const char *said;
  };
  const Case cases[] = {
      {"someone's file", root_ / "notes.jsonl", "not a board trace"},
      {"a symbolic link", root_ / "link.jsonl", "symbolic link"},
      {"the board image", image_, "board image"},
      {"a library", OUR_LIBRARY, "a library"},
      {"a folder", root_, "a folder"},
      {"the transport", program_ / "libhwlink32.so", "klia"},
      {"the real transport's kept name", program_ / "libhwlink32-real.so", "klia"},
      {"the spy's settings", program_ / "hwlink-spy.conf", "klia"},
      {"klia's record", program_ / "klia-spy.json", "klia"},
      {"the library's kept name", program_ / "libmviahlp.so.1.klia-original", "klia"},
  };
  const Snapshot before = Take();
  const std::string notes = ReadFile(root_ / "notes.jsonl"), board = ReadFile(image_);
  for (const Case &c : cases) {
    const Outcome run = Klia({"spy", "install", program_.string(), "--trace", c.trace.string()});
    EXPECT_EQ(run.exit_code, 2) << c.what << ": " << run.out;
    EXPECT_THAT(run.err, HasSubstr(c.trace.string())) << c.what;
    EXPECT_THAT(run.err, HasSubstr(c.said)) << c.what;
    EXPECT_THAT(run.err, HasSubstr("name a new file or an existing trace")) << c.what;
    EXPECT_EQ(Take(), before) << c.what;
  }
  EXPECT_EQ(ReadFile(root_ / "notes.jsonl"), notes);
  EXPECT_EQ(ReadFile(image_), board);
  EXPECT_FALSE(fs::exists(root_ / "t.jsonl"));
  const Outcome json = Klia({"--json", "spy", "install", program_.string(), "--trace", image_.string()});
  EXPECT_EQ(json.exit_code, 2);
  EXPECT_TRUE(nlohmann::json::parse(json.err).contains("error")) << json.err;
  // An empty file is taken: it is how a trace is made ready for the program's user.
  WriteFile(root_ / "empty.jsonl", "");
  const Outcome empty = Klia({"spy", "install", program_.string(), "--trace", (root_ / "empty.jsonl").string()});
  EXPECT_EQ(empty.exit_code, 0) << empty.err;
}

// A trace folder that only its owner may write: the program may run as another user, and klia
// says so at install time rather than the spy, later, on the program's standard error.
TEST_F(SwapAndSpy, ATraceFolderOnlyItsOwnerMayWriteIsWarnedOf) {
  const fs::path own = root_ / "own", shared = root_ / "shared";
  fs::create_directories(own);
  fs::create_directories(shared);
  fs::permissions(own, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
                           fs::perms::others_exec);
  fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
  const Outcome warned = Klia({"--json", "spy", "install", program_.string(), "--trace", (own / "t.jsonl").string()});
  ASSERT_EQ(warned.exit_code, 0) << warned.err;
  const nlohmann::json result = nlohmann::json::parse(warned.out);
  ASSERT_EQ(result["warnings"].size(), 1u) << warned.out;
  EXPECT_THAT(result["warnings"][0].get<std::string>(), HasSubstr(own.string()));
  ASSERT_EQ(Klia({"spy", "remove", program_.string()}).exit_code, 0);
  const Outcome text = Klia({"spy", "install", program_.string(), "--trace", (own / "t.jsonl").string()});
  EXPECT_THAT(text.out, HasSubstr("warning: only"));
  EXPECT_THAT(text.out, HasSubstr("--trace"));
  ASSERT_EQ(Klia({"spy", "remove", program_.string()}).exit_code, 0);
  const Outcome quiet = Klia({"spy", "install", program_.string(), "--trace", (shared / "t.jsonl").string()});
  ASSERT_EQ(quiet.exit_code, 0) << quiet.err;
  EXPECT_THAT(quiet.out, Not(HasSubstr("warning")));
}

// With the read-only guard a session that writes does not reach the board.
TEST_F(SwapAndSpy, TheSpysGuardKeepsASessionFromWriting) {
  MakeBoard();
  ASSERT_EQ(Klia({"spy", "install", program_.string(), "--guard", "read-only", "--trace",
                  (root_ / "t.jsonl").string()}).exit_code, 0);
  EXPECT_THAT(ReadFile(program_ / "hwlink-spy.conf"), HasSubstr("guard = read-only\n"));
  const std::string board = ReadFile(image_);
  EXPECT_EQ(Session({"hwstep", "set", "7"}).exit_code, 1);
  EXPECT_EQ(ReadFile(image_), board);
  EXPECT_THAT(ReadFile(root_ / "t.jsonl"), HasSubstr("\"guarded\":true"));
  ASSERT_EQ(Klia({"spy", "remove", program_.string()}).exit_code, 0);
}

// What klia says about the guard is what the spy does: from the settings file as it lies there
// (edited by hand too) and the environment, in spy status, in klia info and in the session.
TEST_F(SwapAndSpy, KliaSaysTheGuardTheSpyApplies) {
  MakeBoard();
  ASSERT_EQ(Klia({"spy", "install", program_.string(), "--trace", (root_ / "t.jsonl").string()}).exit_code, 0);
  const Outcome off = Klia({"spy", "status", program_.string()});
  EXPECT_THAT(off.out, HasSubstr("guard       off (writes reach the board"));
  const Outcome asked = Klia({"spy", "status", program_.string()}, "HWLINK_SPY_GUARD=read-only");
  EXPECT_THAT(asked.out, HasSubstr("guard       read-only (only calls that read the board reach it); "
                                   "HWLINK_SPY_GUARD=read-only"));
  ASSERT_EQ(Klia({"spy", "remove", program_.string()}).exit_code, 0);

  // Installed with the guard, then "guard = off" appended by hand and the guard asked off in the
  // environment: the spy keeps it on, and klia says so everywhere.
  ASSERT_EQ(Klia({"spy", "install", program_.string(), "--guard", "read-only", "--trace",
                  (root_ / "t.jsonl").string()}).exit_code, 0);
  WriteFile(program_ / "hwlink-spy.conf", ReadFile(program_ / "hwlink-spy.conf") + "guard = off\n");
  const Outcome status = Klia({"--json", "spy", "status", program_.string()}, "HWLINK_SPY_GUARD=off");
  ASSERT_EQ(status.exit_code, 0) << status.err;
  EXPECT_EQ(nlohmann::json::parse(status.out)["guard_applied"]["on"], true) << status.out;
  const Outcome info = Session({"info"}, "HWLINK_SPY_GUARD=off");
  EXPECT_THAT(info.out, HasSubstr("guard: read-only")) << info.err;
  const std::string board = ReadFile(image_);
  const Outcome write = Session({"hwstep", "set", "9"}, "HWLINK_SPY_GUARD=off");
  EXPECT_EQ(write.exit_code, 1);
  EXPECT_THAT(write.err, HasSubstr("stopped by the transport spy's read-only guard"));
  EXPECT_EQ(ReadFile(image_), board);
  // The record is klia's, the settings file is not what klia wrote: remove says so or puts it back.
  Klia({"spy", "remove", program_.string()});
}

// A folder whose program takes its transport from elsewhere: the spy goes in front of the
// transport named by its full path, and only the spy and its settings are added.
TEST_F(SwapAndSpy, TheSpyInFrontOfATransportNamedByItsPath) {
  MakeBoard();
  fs::remove(program_ / "libhwlink32.so");
  const Snapshot before = Take();
  const Outcome without = Klia({"spy", "install", program_.string()});
  EXPECT_EQ(without.exit_code, 1);
  EXPECT_THAT(without.err, HasSubstr("--transport"));
  const Outcome install =
      Klia({"spy", "install", program_.string(), "--transport", VBOARD_LIBRARY, "--trace", (root_ / "t.jsonl").string()});
  ASSERT_EQ(install.exit_code, 0) << install.err;
  EXPECT_THAT(ReadFile(program_ / "hwlink-spy.conf"), HasSubstr(std::string("target = ") + VBOARD_LIBRARY));
  EXPECT_EQ(Session().exit_code, 0);
  const Outcome again =
      Klia({"spy", "install", program_.string(), "--transport", VBOARD_LIBRARY, "--trace", (root_ / "t.jsonl").string()});
  EXPECT_EQ(again.exit_code, 0) << again.err;
  EXPECT_THAT(again.out, HasSubstr("nothing to do"));
  EXPECT_THAT(ReadFile(root_ / "t.jsonl"), HasSubstr("\"type\":\"exchange\""));
  ASSERT_EQ(Klia({"spy", "remove", program_.string()}).exit_code, 0);
  EXPECT_EQ(Take(), before);
}

// What klia refuses before it changes anything, each with the folder left as it was.
TEST_F(SwapAndSpy, ALibraryThatCannotStandInIsRefusedAndNothingChanges) {
  const std::string ours = ReadFile(OUR_LIBRARY);
  WriteFile(root_ / "truncated.so", ours.substr(0, 3000));
  WriteFile(root_ / "garbage.so", std::string(5000, '\x55'));
  WriteFile(root_ / "windows.dll", "MZ" + std::string(200, '\0'));
  struct Case {
    const char *what;
    std::string library;
    int exit_code;
    const char *said;
  };
  const Case cases[] = {
      {"a library without KLIAFlush", WITHOUT_FLUSH_LIBRARY, 1, "KLIAFlush"},
      {"the spy", SPY_LIBRARY, 1, "none of the 26 functions"},
      {"a truncated library", (root_ / "truncated.so").string(), 1, "not a complete ELF file"},
      {"bytes of nothing", (root_ / "garbage.so").string(), 1, "neither an ELF shared object nor a Windows DLL"},
      {"a Windows file", (root_ / "windows.dll").string(), 1, "not a library klia can check"},
      {"no such file", (root_ / "none.so").string(), 2, "--library"},
  };
  const Snapshot before = Take();
  for (const Case &c : cases) {
    const Outcome run = Klia({"swap", program_.string(), "--library", c.library});
    EXPECT_EQ(run.exit_code, c.exit_code) << c.what << ": " << run.err;
    EXPECT_THAT(run.err, HasSubstr(c.said)) << c.what;
    EXPECT_EQ(Take(), before) << c.what;
  }
  // With --json the failure is one JSON object on standard error.
  const Outcome json = Klia({"--json", "swap", program_.string(), "--library", WITHOUT_FLUSH_LIBRARY});
  EXPECT_EQ(json.exit_code, 1);
  EXPECT_TRUE(nlohmann::json::parse(json.err)["error"].contains("library")) << json.err;
  EXPECT_EQ(Klia({"swap", (root_ / "no-folder").string(), "--library", OUR_LIBRARY}).exit_code, 2);
  EXPECT_EQ(Klia({"swap", program_.string()}).exit_code, 2);
  fs::remove(program_ / "libmviahlp.so.1");
  const Outcome empty = Klia({"swap", program_.string(), "--library", OUR_LIBRARY});
  EXPECT_EQ(empty.exit_code, 1);
  EXPECT_THAT(empty.err, HasSubstr("never adds one"));
  EXPECT_FALSE(fs::exists(program_ / "libmviahlp.so.1"));
}

// A file klia recorded was changed since (an update put another library there): the undo is
// refused, names the file, and changes nothing.
TEST_F(SwapAndSpy, AnUndoAfterTheFileChangedIsRefusedAndNothingChanges) {
  ASSERT_EQ(Klia({"swap", program_.string(), "--library", OUR_LIBRARY}).exit_code, 0);
  fs::copy_file(WITHOUT_FLUSH_LIBRARY, program_ / "libmviahlp.so.1", fs::copy_options::overwrite_existing);
  const Snapshot changed = Take();
  const Outcome undo = Klia({"swap", "--undo", program_.string()});
  EXPECT_EQ(undo.exit_code, 1);
  EXPECT_THAT(undo.err, HasSubstr((program_ / "libmviahlp.so.1").string() + " is not what klia put there"));
  EXPECT_EQ(Take(), changed);
  EXPECT_THAT(Klia({"swap", "--status", program_.string()}).out, HasSubstr("CHANGED"));
  // A swap on top of it is refused as well.
  EXPECT_EQ(Klia({"swap", program_.string(), "--library", OUR_LIBRARY}).exit_code, 1);
  EXPECT_EQ(Take(), changed);
}

// A name put into klia's record by hand (a file klia never put there, a path, a name twice) is
// never acted on: the whole record is refused, naming the name, and nothing changes.
TEST_F(SwapAndSpy, ARecordNamingAFileKliaNeverPutThereIsRefusedWhole) {
  struct Case {
    const char *what;
    std::function<void(nlohmann::json &)> edit;
    const char *said;
  };
  auto entry_for = [this](const std::string &name) {
    const std::string bytes = ReadFile(program_ / "logon");
    return nlohmann::json{{"name", name},
                          {"installed", {{"size", bytes.size()}, {"sha256", std::string(64, '0')}}},
                          {"original", nullptr}};
  };
  const Case cases[] = {
      {"the folder's program", [&](nlohmann::json &r) { r["files"].push_back(entry_for("logon")); }, "\"logon\""},
      {"a file of the spy's", [&](nlohmann::json &r) { r["files"].push_back(entry_for("libhwlink32.so")); },
       "\"libhwlink32.so\""},
      {"a path out of the folder", [&](nlohmann::json &r) { r["files"].push_back(entry_for("../etc/x")); }, "../etc/x"},
      {"the original kept under the program's name",
       [](nlohmann::json &r) { r["files"][0]["original"]["kept_as"] = "logon"; }, "\"logon\""},
      {"the library twice", [](nlohmann::json &r) { r["files"].push_back(r["files"][0]); }, "twice"},
  };
  for (const Case &c : cases) {
    ASSERT_EQ(Klia({"swap", program_.string(), "--library", OUR_LIBRARY}).exit_code, 0) << c.what;
    const std::string record = ReadFile(program_ / "klia-swap.json");
    EditRecord("klia-swap.json", c.edit);
    const Snapshot edited = Take();
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"swap", "--undo", program_.string()},
          std::vector<std::string>{"swap", program_.string(), "--library", OUR_LIBRARY},
          std::vector<std::string>{"swap", "--status", program_.string()}}) {
      const Outcome run = Klia(args);
      EXPECT_EQ(run.exit_code, 1) << c.what << ": " << args[1];
      EXPECT_THAT(run.err, HasSubstr(c.said)) << c.what;
      EXPECT_THAT(run.err, HasSubstr((program_ / "klia-swap.json").string())) << c.what;
      EXPECT_THAT(run.err, HasSubstr("edited by hand")) << c.what;
      EXPECT_EQ(Take(), edited) << c.what;
    }
    const Outcome json = Klia({"--json", "swap", "--undo", program_.string()});
    EXPECT_TRUE(nlohmann::json::parse(json.err)["error"].contains("record")) << c.what << json.err;
    WriteFile(program_ / "klia-swap.json", record);
    ASSERT_EQ(Klia({"swap", "--undo", program_.string()}).exit_code, 0) << c.what;
  }
  // The spy's record the same way.
  ASSERT_EQ(Klia({"spy", "install", program_.string(), "--trace", (root_ / "t.jsonl").string()}).exit_code, 0);
  EditRecord("klia-spy.json", [&](nlohmann::json &r) { r["files"].push_back(entry_for("libmviahlp.so.1")); });
  const Snapshot edited = Take();
  const Outcome remove = Klia({"spy", "remove", program_.string()});
  EXPECT_EQ(remove.exit_code, 1);
  EXPECT_THAT(remove.err, HasSubstr("\"libmviahlp.so.1\""));
  EXPECT_EQ(Take(), edited);
}

// The placed library and spy get the owner, group and mode of the files they replace, whatever
// klia's umask (a program run as a service account loads them through their group), and the
// undo and the removal put the originals back with theirs.
TEST_F(SwapAndSpy, TheReplacedFilesOwnerGroupAndModeAreKeptWhateverTheUmask) {
  const bool root = geteuid() == 0;
  if (!root) std::printf("not root: the owner and group part is left out (the files stay the test's own)\n");
  const char *replaced[] = {"libmviahlp.so.1", "libhwlink32.so"};
  for (const char *name : replaced) {
    ASSERT_EQ(chmod((program_ / name).c_str(), 0750), 0);
    if (root) {
      ASSERT_EQ(chown((program_ / name).c_str(), 0, 65534), 0);
    }
  }
  auto access = [&](const char *name) {
    struct stat info {};
    EXPECT_EQ(stat((program_ / name).c_str(), &info), 0) << name;
    return std::to_string(info.st_uid) + ":" + std::to_string(info.st_gid) + " " + std::to_string(info.st_mode & 07777);
  };
  const std::string library = access("libmviahlp.so.1"), transport = access("libhwlink32.so");
  const Snapshot before = Take();
  const mode_t umask_before = umask(077);  // inherited by klia
  const Outcome swap = Klia({"swap", program_.string(), "--library", OUR_LIBRARY});
  const Outcome install = Klia({"spy", "install", program_.string(), "--trace", (root_ / "t.jsonl").string()});
  umask(umask_before);
  ASSERT_EQ(swap.exit_code, 0) << swap.err;
  ASSERT_EQ(install.exit_code, 0) << install.err;
  EXPECT_EQ(access("libmviahlp.so.1"), library);
  EXPECT_EQ(access("libhwlink32.so"), transport);
  // The spy's settings, new, are for every user that runs the program to read.
  EXPECT_EQ(fs::status(program_ / "hwlink-spy.conf").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
  umask(077);
  const Outcome remove = Klia({"spy", "remove", program_.string()});
  const Outcome undo = Klia({"swap", "--undo", program_.string()});
  umask(umask_before);
  ASSERT_EQ(remove.exit_code, 0) << remove.err;
  ASSERT_EQ(undo.exit_code, 0) << undo.err;
  EXPECT_EQ(access("libmviahlp.so.1"), library);
  EXPECT_EQ(access("libhwlink32.so"), transport);
  EXPECT_EQ(Take(), before);
}

// A klia that may not give the new file the replaced file's owner refuses before anything
// changes, and says who may. The tests run as root: klia then runs as the user nobody, in a
// folder it may change, on files owned by root.
TEST_F(SwapAndSpy, AnOwnerKliaMayNotGiveIsRefusedBeforeAnythingChanges) {
  if (geteuid() != 0 || std::system("setpriv --reuid=65534 --regid=65534 --clear-groups true >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "needs root, to give the files an owner that klia, run as nobody with setpriv, is not";
  }
  const std::string prefix = "setpriv --reuid=65534 --regid=65534 --clear-groups";
  fs::permissions(root_, fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
  ASSERT_EQ(chown(program_.c_str(), 65534, 65534), 0);
  const Snapshot before = Take();
  struct Case {
    std::vector<std::string> args;
    const char *file;
  };
  const Case cases[] = {
      {{"swap", program_.string(), "--library", OUR_LIBRARY}, "libmviahlp.so.1"},
      {{"spy", "install", program_.string(), "--trace", (root_ / "t.jsonl").string()}, "libhwlink32.so"},
  };
  for (const Case &c : cases) {
    const Outcome run = Klia(c.args, "", prefix);
    EXPECT_EQ(run.exit_code, 1) << run.out;
    EXPECT_THAT(run.err, HasSubstr((program_ / c.file).string())) << c.args[0];
    EXPECT_THAT(run.err, HasSubstr("run klia as root")) << c.args[0];
    EXPECT_EQ(Take(), before) << c.args[0];
  }
  const Outcome json = Klia({"--json", "swap", program_.string(), "--library", OUR_LIBRARY}, "", prefix);
  EXPECT_TRUE(nlohmann::json::parse(json.err)["error"].contains("owner")) << json.err;
}

// A folder the user may not change: klia says so and what to do, and the folder is as it was.
// The tests may run as root, whom a folder's permissions do not stop: klia then runs as the
// user nobody (setpriv).
TEST_F(SwapAndSpy, AFolderTheUserMayNotChangeIsSaidAndNothingChanges) {
  std::string prefix;
  if (geteuid() == 0) {
    if (std::system("setpriv --reuid=65534 --regid=65534 --clear-groups true >/dev/null 2>&1") != 0) {
      GTEST_SKIP() << "running as root, whom a folder's permissions do not stop, and setpriv cannot run klia as "
                      "another user here";
    }
    prefix = "setpriv --reuid=65534 --regid=65534 --clear-groups";
    fs::permissions(root_, fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
  }
  fs::permissions(program_, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::others_read |
                                fs::perms::others_exec | fs::perms::group_read | fs::perms::group_exec);
  const Snapshot before = Take();
  // Its output goes where that user may write.
  const Outcome swap = Klia({"swap", program_.string(), "--library", OUR_LIBRARY}, "", prefix);
  EXPECT_EQ(swap.exit_code, 1) << swap.out;
  EXPECT_THAT(swap.err, HasSubstr("you may not change " + program_.string()));
  EXPECT_EQ(Take(), before);
  const Outcome spy = Klia({"--json", "spy", "install", program_.string()}, "", prefix);
  EXPECT_EQ(spy.exit_code, 1);
  EXPECT_TRUE(nlohmann::json::parse(spy.err)["error"].contains("permission")) << spy.err;
  EXPECT_EQ(Take(), before);
}

// A full disk: the folder on a small file system of its own (a user and mount namespace), the
// library written beside finds no room.
TEST_F(SwapAndSpy, AFullDiskIsSaidAndNothingChanges) {
  if (std::system("unshare -rm true >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "no user and mount namespace here (unshare -rm) to give the folder a small file system";
  }
  const fs::path small = root_ / "small";
  fs::create_directory(small);
  // Room for the old library and half the new one (the sizes differ from build to build: a
  // sanitizer's are several times larger).
  const uintmax_t room = fs::file_size(OLD_LIBRARY) + fs::file_size(OUR_LIBRARY) / 2;
  const std::string script =
      "set -e; mount -t tmpfs -o size=" + std::to_string(room / 1024 + 8) + "k tmpfs " + Quoted(small) + "; cp " + Quoted(OLD_LIBRARY) + " " +
      Quoted(small / "libmviahlp.so.1") + "; cd " + Quoted(small) + "; sha256sum * > ../before; " +
      Quoted(KLIA_PROGRAM) + " swap . --library " + Quoted(OUR_LIBRARY) + " > ../out 2> ../err || echo $? > ../status; " +
      "ls -a > ../names; sha256sum * > ../after";
  ASSERT_EQ(std::system(("unshare -rm sh -c " + Quoted(script)).c_str()), 0);
  EXPECT_EQ(ReadFile(root_ / "status"), "1\n") << ReadFile(root_ / "out");
  EXPECT_THAT(ReadFile(root_ / "err"), HasSubstr("is full"));
  EXPECT_THAT(ReadFile(root_ / "err"), HasSubstr("Nothing was changed"));
  EXPECT_EQ(ReadFile(root_ / "after"), ReadFile(root_ / "before"));
  EXPECT_EQ(ReadFile(root_ / "names"), ".\n..\nlibmviahlp.so.1\n");
}

// klia ended by a signal while it swaps: the swap is whole or undone, never half-done, and klia
// exits as a shell reports a program that signal ended (128 + its number), saying which one
// unless it was Ctrl-C. A large library (ours with 100 MB of padding after its last section)
// keeps klia busy long enough for the signal to come while it reads, checks or writes. klia is
// started directly, not as a shell's background job (which would ignore Ctrl-C's SIGINT).
TEST_F(SwapAndSpy, ASignalWhileSwappingLeavesTheSwapWholeOrUndone) {
  struct Case {
    int signal;
    int exit_code;
    const char *said;
  };
  const Case cases[] = {
      {SIGTERM, 143, "klia: swap: interrupted by SIGTERM: nothing was changed"},
      {SIGINT, 130, "klia: swap: interrupted: nothing was changed"},
      {SIGHUP, 129, "klia: swap: interrupted by SIGHUP: nothing was changed"},
  };
  const fs::path large = root_ / "large" / "libmviahlp.so.1";
  fs::create_directories(large.parent_path());
  WriteFile(large, ReadFile(OUR_LIBRARY) + std::string(100u << 20, '\0'));
  const Snapshot before = Take();
  int undone = 0;
  for (const Case &c : cases) {
    for (const int delay_ms : {50, 300, 800}) {
      const std::string out = (root_ / "out").string(), err = (root_ / "err").string();
      const pid_t pid = fork();
      if (pid == 0) {
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        signal(SIGHUP, SIG_DFL);
        if (!freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr)) _exit(126);
        execl(KLIA_PROGRAM, KLIA_PROGRAM, "swap", program_.c_str(), "--library", large.c_str(), nullptr);
        _exit(127);
      }
      ASSERT_GT(pid, 0);
      usleep(delay_ms * 1000);
      kill(pid, c.signal);
      int status = 0;
      ASSERT_EQ(waitpid(pid, &status, 0), pid);
      const std::string when = strsignal(c.signal) + (" after " + std::to_string(delay_ms) + " ms");
      if (WIFSIGNALED(status)) {
        // The signal came before klia began (a loaded machine starts it late): ended as any
        // program, before anything was changed.
        EXPECT_EQ(WTERMSIG(status), c.signal) << when;
        EXPECT_EQ(Take(), before) << when;
      } else if (WEXITSTATUS(status) != 0) {
        EXPECT_EQ(WEXITSTATUS(status), c.exit_code) << when << ": " << ReadFile(err);
        EXPECT_THAT(ReadFile(err), HasSubstr(c.said)) << when;
        EXPECT_EQ(Take(), before) << when;
        ++undone;
      } else {
        EXPECT_THAT(Klia({"--json", "swap", "--status", program_.string()}).out, HasSubstr("\"in_place\"")) << when;
        ASSERT_EQ(Klia({"swap", "--undo", program_.string()}).exit_code, 0);
        EXPECT_EQ(Take(), before);
      }
    }
  }
  EXPECT_GT(undone, 0) << "no signal came while klia was swapping";
}

// Paths klia records are full paths: a record read from another folder (or a status run from
// one) names the same files.
TEST_F(SwapAndSpy, PathsGivenRelativeAreRecordedInFull) {
  CopyIntoFolder(root_ / "inst" / "lib", {{"libmviahlp.so.1", OUR_LIBRARY}});
  // Klia runs in root_: these are relative to it.
  ASSERT_EQ(Klia({"swap", "program", "--library", "inst/lib/../lib/libmviahlp.so.1"}).exit_code, 0);
  const std::string library = (root_ / "inst" / "lib" / "libmviahlp.so.1").string();
  EXPECT_EQ(nlohmann::json::parse(ReadFile(program_ / "klia-swap.json"))["files"][0]["installed"]["source"], library);
  EXPECT_THAT(Klia({"swap", "--status", program_.string()}).out, HasSubstr("from " + library));
  ASSERT_EQ(Klia({"swap", "--undo", "program"}).exit_code, 0);

  ASSERT_EQ(Klia({"spy", "install", "program", "--trace", "inst/../t.jsonl"}).exit_code, 0);
  const nlohmann::json record = nlohmann::json::parse(ReadFile(program_ / "klia-spy.json"));
  EXPECT_EQ(record["details"]["trace"], (root_ / "t.jsonl").string());
  EXPECT_EQ(record["details"]["transport"], (program_ / "libhwlink32-real.so").string());
  EXPECT_TRUE(fs::path(record["files"][0]["installed"]["source"].get<std::string>()).is_absolute());
  ASSERT_EQ(Klia({"spy", "remove", "program"}).exit_code, 0);
}

// A folder changed by hand after klia put its files there (an update replaced the library,
// someone edited the kept original or klia's record): the undo changes nothing and names the
// way out, --forget. It says what stays, asks (--yes off a terminal), removes klia's record
// alone, and says how the original is put back by hand; done as it says, the folder is as it
// began, and klia swaps there again.
TEST_F(SwapAndSpy, AFolderChangedByHandIsForgottenWithEveryFileLeftAsItLies) {
  struct Case {
    const char *what;
    std::function<void()> change;
    const char *refused;  // what the undo says
  };
  const Case cases[] = {
      {"the library replaced by an update",
       [&] {
         fs::copy_file(WITHOUT_FLUSH_LIBRARY, program_ / "libmviahlp.so.1", fs::copy_options::overwrite_existing);
       },
       "is not what klia put there"},
      {"the record edited by hand",
       [&] { EditRecord("klia-swap.json", [](nlohmann::json &r) { r["files"][0]["name"] = "logon"; }); },
       "edited by hand"},
  };
  // Another build of ours: other bytes, the same functions.
  const fs::path newer = root_ / "newer" / "libmviahlp.so.1";
  fs::create_directories(newer.parent_path());
  WriteFile(newer, ReadFile(OUR_LIBRARY) + std::string(4096, '\0'));
  const Snapshot before = Take();
  const std::string forget = "klia swap --forget " + program_.string();
  for (const Case &c : cases) {
    ASSERT_EQ(Klia({"swap", program_.string(), "--library", OUR_LIBRARY}).exit_code, 0) << c.what;
    // While the undo works, forgetting is refused and names it.
    Outcome run = Klia({"swap", "--forget", "--yes", program_.string()});
    EXPECT_EQ(run.exit_code, 1) << c.what;
    EXPECT_THAT(run.err, HasSubstr("klia swap --undo " + program_.string())) << c.what;

    c.change();
    const Snapshot changed = Take();
    run = Klia({"swap", "--undo", program_.string()});
    EXPECT_EQ(run.exit_code, 1) << c.what;
    EXPECT_THAT(run.err, HasSubstr(c.refused)) << c.what;
    EXPECT_THAT(run.err, HasSubstr(forget)) << c.what;
    run = Klia({"swap", program_.string(), "--library", OUR_LIBRARY});
    EXPECT_EQ(run.exit_code, 1) << c.what;
    EXPECT_THAT(run.err, HasSubstr(forget)) << c.what;
    EXPECT_EQ(Take(), changed) << c.what;

    // Off a terminal it needs --yes, and says what stays first.
    run = Klia({"swap", "--forget", program_.string()});
    EXPECT_EQ(run.exit_code, 2) << c.what;
    EXPECT_THAT(run.err, HasSubstr("add --yes")) << c.what;
    EXPECT_THAT(run.err, HasSubstr("libmviahlp.so.1.klia-original")) << c.what;
    EXPECT_EQ(Take(), changed) << c.what;

    run = Klia({"--json", "swap", "--forget", "--yes", program_.string()});
    ASSERT_EQ(run.exit_code, 0) << c.what << run.err;
    const nlohmann::json said = nlohmann::json::parse(run.out);
    EXPECT_EQ(said["forgotten"], (program_ / "klia-swap.json").string()) << c.what;
    EXPECT_THAT(said["by_hand"].get<std::string>(), HasSubstr("rename it to libmviahlp.so.1")) << c.what;
    Snapshot expected = changed;
    expected.erase("klia-swap.json");
    EXPECT_EQ(Take(), expected) << c.what;

    // Without the record the kept original is the site's: listed, never written over.
    EXPECT_THAT(Klia({"swap", "--status", program_.string()}).out, HasSubstr("WITHOUT klia's record")) << c.what;
    run = Klia({"swap", program_.string(), "--library", newer.string()});
    EXPECT_EQ(run.exit_code, 1) << c.what;
    EXPECT_THAT(run.err, HasSubstr("libmviahlp.so.1.klia-original is there already")) << c.what;
    run = Klia({"swap", "--forget", program_.string()});
    EXPECT_EQ(run.exit_code, 0) << c.what;
    EXPECT_THAT(run.out, HasSubstr("nothing to forget")) << c.what;
    EXPECT_EQ(Take(), expected) << c.what;

    // By hand, as klia said.
    fs::rename(program_ / "libmviahlp.so.1.klia-original", program_ / "libmviahlp.so.1");
    EXPECT_EQ(Take(), before) << c.what;
  }
  ASSERT_EQ(Klia({"swap", program_.string(), "--library", OUR_LIBRARY}).exit_code, 0);
}

// The spy's settings file edited by hand: the removal changes nothing and names 'klia spy
// forget', which leaves the spy in front and says how it is taken out by hand; done as it says,
// the folder is as it began.
TEST_F(SwapAndSpy, ASpyFolderChangedByHandIsForgottenAndTakenOutAsKliaSays) {
  const Snapshot before = Take();
  ASSERT_EQ(Klia({"spy", "install", program_.string(), "--trace", (root_ / "t.jsonl").string()}).exit_code, 0);
  WriteFile(program_ / "hwlink-spy.conf", ReadFile(program_ / "hwlink-spy.conf") + "guard = read-only\n");
  const Snapshot changed = Take();
  const std::string forget = "klia spy forget " + program_.string();
  Outcome run = Klia({"spy", "remove", program_.string()});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_THAT(run.err, HasSubstr(forget));
  run = Klia({"--json", "spy", "status", program_.string()});
  EXPECT_EQ(nlohmann::json::parse(run.out)["forget"], forget);
  EXPECT_EQ(Klia({"spy", "forget", program_.string()}).exit_code, 2);
  EXPECT_EQ(Take(), changed);

  run = Klia({"spy", "forget", "--yes", program_.string()});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("delete libhwlink32.so (the spy) and hwlink-spy.conf, rename libhwlink32-real.so "
                                 "back to libhwlink32.so"));
  Snapshot expected = changed;
  expected.erase("klia-spy.json");
  EXPECT_EQ(Take(), expected);
  // klia now sees a spy put there without it.
  EXPECT_THAT(Klia({"spy", "status", program_.string()}).out, HasSubstr("WITHOUT klia"));

  fs::remove(program_ / "libhwlink32.so");
  fs::remove(program_ / "hwlink-spy.conf");
  fs::rename(program_ / "libhwlink32-real.so", program_ / "libhwlink32.so");
  EXPECT_EQ(Take(), before);
}

// A spy put there by hand is named, not covered over.
TEST_F(SwapAndSpy, ASpyPutThereByHandIsNamedAndLeftAlone) {
  fs::rename(program_ / "libhwlink32.so", program_ / "libhwlink32-real.so");
  fs::copy_file(SPY_LIBRARY, program_ / "libhwlink32.so");
  const Snapshot before = Take();
  const Outcome install = Klia({"spy", "install", program_.string()});
  EXPECT_EQ(install.exit_code, 1);
  EXPECT_THAT(install.err, HasSubstr("the transport spy already, put there without klia"));
  EXPECT_THAT(Klia({"spy", "status", program_.string()}).out, HasSubstr("WITHOUT klia"));
  EXPECT_EQ(Klia({"spy", "remove", program_.string()}).exit_code, 1);
  EXPECT_EQ(Take(), before);
  // klia info says a spy is in front, not put there by klia (natively such a spy is told
  // where the real transport is by the environment).
  MakeBoard();
  const Outcome session = Session({"info"}, "HWLINK_SPY_TARGET=" + Quoted(program_ / "libhwlink32-real.so"));
  EXPECT_EQ(session.exit_code, 0) << session.err;
  EXPECT_THAT(session.out, HasSubstr("not put there by klia"));
}

TEST_F(SwapAndSpy, FoldersCompleteInBash) {
  const Outcome script = Klia({"completion", "bash"});
  ASSERT_EQ(script.exit_code, 0);
  for (const char *command : {"swap", "spy install", "spy remove", "spy forget", "spy status"}) {
    EXPECT_THAT(script.out, HasSubstr("\"" + std::string(command) + "\") echo \"folders\" ;;")) << command;
  }
  EXPECT_THAT(script.out, HasSubstr("compgen -d"));
}

}  // namespace
