// What a technician meets besides the commands themselves: the bash completion (driven through
// bash itself), the manual page, and the README's examples, run as the README gives them.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "process_helpers.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::UnorderedElementsAreArray;

using namespace process_helpers;

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class Manual : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = MakeTemporaryFolder("klia-manual-test");
    fs::create_directories(folder_ / "bin");
    fs::create_symlink(KLIA_PROGRAM, folder_ / "bin" / "klia");
  }
  void TearDown() override { RemoveFolder(folder_); }

  // A shell command run in folder_, as a person would type it: `klia` on the PATH, the default
  // board inside folder_, none named by the environment.
  Outcome Shell(const std::string &command) {
    return RunCaptured("cd " + Quoted(folder_) +
                           " && env -u HWLINK_VBOARD_IMAGE -u HWLINK_VBOARD_GEOMETRY -u HWLINK_VBOARD_TRACE "
                           "-u HWLINK_SPY_TRACE -u HWLINK_SPY_GUARD -u XDG_STATE_HOME HOME=" +
                           Quoted(folder_) + " PATH=" + Quoted((folder_ / "bin").string() + ":/usr/bin:/bin") +
                           " sh -c " + Quoted(command),
                       folder_, " </dev/null");
  }

  std::string Klia(const std::string &arguments) {
    const Outcome run = Shell("klia " + arguments);
    EXPECT_EQ(run.exit_code, 0) << arguments << "\n" << run.err;
    return run.out;
  }

  // What bash offers for the words typed so far (the last one being completed, "" for a fresh
  // word), calling the completion function as bash does on TAB.
  std::vector<std::string> Complete(const std::vector<std::string> &typed) {
    if (!fs::exists(folder_ / "klia.bash")) WriteFile(folder_ / "klia.bash", Klia("completion bash"));
    std::string words;
    for (const std::string &word : typed) words += " " + Quoted(word);
    const std::string script = "source " + Quoted(folder_ / "klia.bash") + " && cd " + Quoted(folder_ / "work") +
                               " && COMP_WORDS=(klia" + words + ") && COMP_CWORD=" + std::to_string(typed.size()) +
                               " && _klia && printf '%s\\n' \"${COMPREPLY[@]}\"";
    fs::create_directories(folder_ / "work");
    const Outcome run = Shell("bash -c " + Quoted(script));
    EXPECT_EQ(run.exit_code, 0) << run.err;
    std::vector<std::string> offered;
    for (const std::string &line : Lines(run.out)) {
      if (!line.empty()) offered.push_back(line);
    }
    return offered;
  }

  // The subcommands completion knows after `path`.
  std::vector<std::string> Subcommands(const std::vector<std::string> &path) {
    std::string words;
    for (const std::string &word : path) words += (words.empty() ? "" : " ") + word;
    const std::string script = "source " + Quoted(folder_ / "klia.bash") + " && _klia_words " + Quoted(words);
    std::istringstream in(Shell("bash -c " + Quoted(script)).out);
    std::vector<std::string> subcommands;
    for (std::string word; in >> word;) {
      if (word.rfind("-", 0) != 0) subcommands.push_back(word);
    }
    return subcommands;
  }

  fs::path folder_;
};

// Completion ---------------------------------------------------------------------------------

TEST_F(Manual, CompletionIsRegisteredForKlia) {
  WriteFile(folder_ / "klia.bash", Klia("completion bash"));
  const Outcome run = Shell("bash -c " + Quoted("source klia.bash && complete -p klia"));
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("complete -F _klia klia"));
}

TEST_F(Manual, CompletionOffersWhatEachPlaceTakes) {
  fs::create_directories(folder_ / "work" / "site");
  WriteFile(folder_ / "work" / "session.jsonl", "");
  struct Case {
    std::vector<std::string> typed;
    std::vector<std::string> offered;
  };
  const Case cases[] = {
      // The values of an option with a fixed set, wherever it stands.
      {{"spy", "install", "--guard", ""}, {"read-only", "off"}},
      {{"spy", "install", "--guard", "r"}, {"read-only"}},
      {{"--board", "x.img", "spy", "install", "site", "--guard", ""}, {"read-only", "off"}},
      {{"spy", "install", "--guard=read-only", "--g"}, {"--guard"}},
      {{"completion", ""}, {"bash", "zsh", "--help", "--board", "--json", "--library"}},
      {{"completion", "z"}, {"zsh"}},
      // Each option once, global ones too.
      {{"--li"}, {"--library"}},
      {{"swap", "--h"}, {"--help"}},
      {{"swap", "--"}, {"--help", "--undo", "--status", "--forget", "--yes", "--board", "--json", "--library"}},
      // Files and folders where they are named; nothing where a number or hex digits go.
      {{"trace", "show", "s"}, {"session.jsonl", "site"}},
      {{"spy", "install", "s"}, {"site"}},
      {{"swap", "site", "--library", "se"}, {"session.jsonl"}},
      {{"--board", ""}, {"session.jsonl", "site"}},
      {{"probe", "--pages", ""}, {}},
      // An option's value is not taken for a command: "info" here is the image.
      {{"--board", "info", "us"}, {"user"}},
  };
  for (const Case &c : cases) {
    std::string typed;
    for (const std::string &word : c.typed) typed += " " + word;
    SCOPED_TRACE("klia" + typed);
    EXPECT_THAT(Complete(c.typed), UnorderedElementsAreArray(c.offered));
  }
}

// Every command, group and leaf, reached by following what completion offers: nothing twice.
TEST_F(Manual, CompletionOffersNothingTwice) {
  std::vector<std::vector<std::string>> pending = {{}};
  size_t commands = 0;
  while (!pending.empty()) {
    std::vector<std::string> path = pending.back();
    pending.pop_back();
    ++commands;
    path.push_back("");
    const std::vector<std::string> offered = Complete(path);
    path.pop_back();
    std::set<std::string> seen;
    for (const std::string &word : offered) {
      EXPECT_TRUE(seen.insert(word).second) << "klia " << ::testing::PrintToString(path) << " offers " << word
                                            << " twice";
    }
    EXPECT_TRUE(seen.count("--help")) << ::testing::PrintToString(path);
    for (const std::string &sub : Subcommands(path)) {
      std::vector<std::string> deeper = path;
      deeper.push_back(sub);
      pending.push_back(deeper);
    }
  }
  EXPECT_GT(commands, 30u);  // the walk reached the leaves
}

// The manual page ----------------------------------------------------------------------------

// The variables read from the environment by klia, the spy, the virtual board, the library and
// the trace library: named where they are read, or through a named constant.
std::set<std::string> VariablesTheCodeReads() {
  std::vector<std::string> sources;
  for (const char *part : {"tools/klia", "spy", "vboard", "src", "trace"}) {
    for (const auto &entry : fs::recursive_directory_iterator(fs::path(SOURCE_FOLDER) / part)) {
      const std::string extension = entry.path().extension().string();
      if (extension == ".cpp" || extension == ".h" || extension == ".c") sources.push_back(ReadFile(entry.path()));
    }
  }
  const std::regex reader(R"re(\b(?:getenv|_wgetenv|GetEnvironmentVariable[AW]?|Environment|environment|lookup))re"
                          R"re(\(\s*(?:"([A-Za-z_][A-Za-z0-9_]*)"|(?:[a-z]+::)?(k[A-Za-z0-9]+)\s*\)))re");
  std::set<std::string> names, constants;
  for (const std::string &text : sources) {
    for (auto it = std::sregex_iterator(text.begin(), text.end(), reader); it != std::sregex_iterator(); ++it) {
      if ((*it)[1].matched) names.insert((*it)[1]);
      if ((*it)[2].matched) constants.insert((*it)[2]);
    }
    // The standard library's temporary folder is read from the environment too.
    if (text.find("temp_directory_path") != std::string::npos) names.insert("TMPDIR");
  }
  for (const std::string &constant : constants) {
    const std::regex definition("\\b" + constant + R"re((?:\[\])?\s*=\s*"([^"]+)")re");
    bool found = false;
    for (const std::string &text : sources) {
      std::smatch match;
      if (std::regex_search(text, match, definition)) {
        names.insert(match[1]);
        found = true;
        break;
      }
    }
    EXPECT_TRUE(found) << "the environment is read through " << constant << ", whose value was not found";
  }
  return names;
}

TEST_F(Manual, NamesEveryVariableTheCodeReads) {
  const std::string page = Klia("manpage");
  const size_t environment = page.find(".SH ENVIRONMENT");
  ASSERT_NE(environment, std::string::npos);
  const std::string section = page.substr(environment, page.find(".SH", environment + 1) - environment);
  const std::set<std::string> names = VariablesTheCodeReads();
  for (const char *known : {"HWLINK_VBOARD_IMAGE", "HWLINK_SPY_GUARD", "XDG_STATE_HOME", "TMPDIR"}) {
    EXPECT_TRUE(names.count(known)) << "the scan of the sources missed " << known;
  }
  for (const std::string &name : names) {
    EXPECT_THAT(section, HasSubstr(".B " + name + "\n")) << name << " is read but not in the manual's ENVIRONMENT";
  }
  // The spy's trace variable says how to have none.
  EXPECT_THAT(section, HasSubstr("none: no trace"));
}

TEST_F(Manual, NamesTheFilesKliaLeavesAndKeeps) {
  const std::string page = Klia("manpage");
  const size_t files = page.find(".SH FILES");
  ASSERT_NE(files, std::string::npos);
  const std::string section = page.substr(files);
  for (const char *name : {"klia-swap.json", "klia-spy.json", "hwlink-spy.conf", "NAME.klia-original",
                           "libhwlink32-real.so", "HWLINK32-REAL.DLL", "NAME.klia-new", "NAME.klia-previous",
                           "NAME.klia-removed", "board.img", "hwlink-trace.jsonl"}) {
    std::string escaped;
    for (const char c : std::string(name)) escaped += c == '-' ? std::string("\\-") : std::string(1, c);
    EXPECT_THAT(section, HasSubstr(escaped)) << name;
  }
}

// Each command's synopsis in the manual names every option of its --help, and each global option
// its help names as its own (klia swap --library PATH).
TEST_F(Manual, EverySynopsisHasTheCommandsOptions) {
  std::string page = Klia("manpage");
  for (size_t at = page.find("\\-"); at != std::string::npos; at = page.find("\\-", at)) page.replace(at, 2, "-");
  const std::vector<std::string> lines = Lines(page);
  const std::regex option_line(R"(^\s+(?:-[a-zA-Z],)?(--[a-z0-9-]+))");
  size_t commands = 0;
  for (size_t i = 0; i + 3 < lines.size(); ++i) {
    if (lines[i].rfind(".SS ", 0) != 0) continue;
    const std::string path = lines[i].substr(4);
    const std::string synopsis = lines[i + 3];
    ASSERT_EQ(lines[i + 2], ".PP") << path;
    ++commands;
    const std::string help = Klia(path + " --help");
    for (const std::string &line : Lines(help)) {
      std::smatch match;
      if (std::regex_search(line, match, option_line) && match[1] != "--help") {
        EXPECT_THAT(synopsis, HasSubstr(std::string(match[1]))) << "klia " << path;
      }
    }
    for (const char *global : {"--library", "--board"}) {
      if (help.find(std::string(global) + " ") != std::string::npos &&
          help.find(std::string(global) + " PATH") == std::string::npos) {
        EXPECT_THAT(synopsis, HasSubstr(std::string(global) + " PATH")) << "klia " << path << " names " << global;
      }
    }
  }
  EXPECT_GT(commands, 25u);
  const auto swap = std::find_if(lines.begin(), lines.end(),
                                 [](const std::string &line) { return line.rfind(".B klia swap ", 0) == 0; });
  ASSERT_NE(swap, lines.end());
  EXPECT_THAT(*swap, HasSubstr("[--library PATH]"));
}

// The README ---------------------------------------------------------------------------------

std::string Readme() { return ReadFile(fs::path(SOURCE_FOLDER) / "README.md"); }

// The lines of the README's shell examples (fenced sh blocks).
std::vector<std::string> ShellExampleLines() {
  std::vector<std::string> lines;
  bool inside = false;
  for (const std::string &line : Lines(Readme())) {
    const std::string trimmed = line.substr(std::min(line.find_first_not_of(' '), line.size()));
    if (trimmed.rfind("```", 0) == 0) {
      inside = !inside && trimmed == "```sh";
      continue;
    }
    if (inside) lines.push_back(trimmed);
  }
  return lines;
}

// The README's klia commands use only options their command takes: each is one that completion,
// made from the same table as --help, offers there.
TEST_F(Manual, ReadmeCommandsUseOnlyTheirCommandsOptions) {
  std::vector<std::string> commands;
  std::string joined;
  for (const std::string &line : ShellExampleLines()) {
    joined += line;
    if (!joined.empty() && joined.back() == '\\') {
      joined.pop_back();
      continue;
    }
    // Each command of a pipe or an && list, without the comment.
    const std::string text = std::regex_replace(joined.substr(0, joined.find(" #")), std::regex(R"( (\||&&) )"), "\n");
    joined.clear();
    for (const std::string &command : Lines(text)) commands.push_back(command);
  }
  size_t checked = 0;
  for (const std::string &command : commands) {
    std::istringstream in(command);
    std::vector<std::string> words;
    for (std::string word; in >> word;) {
      if (word == "--") break;  // what follows is another program's command line
      words.push_back(word);
    }
    while (!words.empty() && words.front().find('=') != std::string::npos) words.erase(words.begin());
    if (words.empty() || words.front() != "klia") continue;
    words.erase(words.begin());
    ++checked;
    std::vector<std::string> typed = words;
    typed.push_back("--");
    const std::vector<std::string> offered = Complete(typed);
    for (const std::string &word : words) {
      if (word.rfind("--", 0) != 0) continue;
      const std::string option = word.substr(0, word.find('='));
      EXPECT_NE(std::find(offered.begin(), offered.end(), option), offered.end())
          << "README: '" << command << "': " << option << " is not an option of this command";
    }
  }
  EXPECT_GT(checked, 40u);
}

// Every example of the README whose comment states an exit status is run here, and ends with it.
TEST_F(Manual, ReadmeExamplesEndAsTheyStateTheyDo) {
  struct Example {
    const char *command;  // as the README gives it, without its comment
    const char *before;   // what it needs first: the traces it reads
    int exit_code;
  };
  const Example examples[] = {
      {"klia trace diff old-library.jsonl ours.jsonl",
       "klia board create && HWLINK_VBOARD_TRACE=old-library.jsonl klia info && "
       "HWLINK_VBOARD_TRACE=ours.jsonl klia user list",
       1},
      {"klia trace diff old.jsonl new.jsonl",
       "klia board create && HWLINK_VBOARD_TRACE=old.jsonl klia info && HWLINK_VBOARD_TRACE=new.jsonl klia info", 0},
      {"klia trace replay probe.jsonl -- klia probe",
       "klia board create && HWLINK_VBOARD_TRACE=probe.jsonl klia probe", 0},
  };
  const std::regex stated(R"(^(.*?)\s+#.*\bexit (\d+))");
  size_t stating = 0;
  for (const std::string &line : ShellExampleLines()) {
    std::smatch match;
    if (!std::regex_search(line, match, stated)) continue;
    ++stating;
    const std::string command = match[1];
    SCOPED_TRACE(line);
    const auto example = std::find_if(std::begin(examples), std::end(examples),
                                       [&](const Example &e) { return command == e.command; });
    ASSERT_NE(example, std::end(examples)) << "a README example states its exit status but no test runs it";
    EXPECT_EQ(std::stoi(match[2]), example->exit_code) << "the README states another status than the test's";
    std::error_code ignored;
    for (const auto &entry : fs::directory_iterator(folder_)) {
      if (entry.path().filename() != "bin") fs::remove_all(entry.path(), ignored);
    }
    const Outcome before = Shell(example->before);
    ASSERT_EQ(before.exit_code, 0) << before.err;
    const Outcome run = Shell(command);
    EXPECT_EQ(run.exit_code, example->exit_code) << run.out << run.err;
  }
  EXPECT_EQ(stating, std::size(examples));
}

// The README's way of running klia through a program's folder: the folder's library and
// transport, on the board the program uses.
TEST_F(Manual, KliaThroughAProgramsFolderReachesTheProgramsBoard) {
  const std::string readme = Readme();
  const std::string image_line = "export HWLINK_VBOARD_IMAGE=/srv/site/board.img";
  const std::string klia_line = "klia --library /opt/site/lib/libmviahlp.so.1 info";
  ASSERT_THAT(readme, HasSubstr(image_line));
  ASSERT_THAT(readme, HasSubstr(klia_line));

  // A program's folder whose transport is the virtual board, and its board with an entry of the
  // program's in the log.
  const fs::path site = folder_ / "site";
  fs::create_directories(site);
  fs::copy_file(LIBRARY_FILE, site / "libmviahlp.so.1");
  fs::copy_file(VBOARD_FILE, site / "libhwlink32.so");
  const std::string image = "export HWLINK_VBOARD_IMAGE=" + Quoted(folder_ / "board.img") + " && ";
  const Outcome made =
      Shell(image + "klia board create && klia format --yes --check-word 0x1234 && klia log append --text 'door 7'");
  ASSERT_EQ(made.exit_code, 0) << made.err;

  auto through_folder = [&](const std::string &arguments) {
    std::string line = klia_line;
    line.replace(line.find("/opt/site/lib"), 13, site.string());
    return line.substr(0, line.rfind(" info")) + " " + arguments;
  };
  Outcome run = Shell(image + through_folder("info"));
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("Signature"));
  run = Shell(image + through_folder("log dump"));
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("door 7"));
  // Without the variable klia takes its own default board, not the program's.
  run = Shell(through_folder("log dump"));
  EXPECT_THAT(run.out, Not(HasSubstr("door 7")));
}

// scripts/tour says what the first build costs before it starts it. Run on a copy, with a cmake
// that only says what it was asked and fails the build, and a ninja that has 70 steps to run.
TEST_F(Manual, TheTourSaysWhatTheBuildCostsBeforeItStarts) {
  const fs::path copy = folder_ / "tree";
  fs::create_directories(copy / "scripts");
  fs::copy_file(fs::path(SOURCE_FOLDER) / "scripts" / "tour", copy / "scripts" / "tour");
  fs::copy_file(fs::path(SOURCE_FOLDER) / "scripts" / "standard-streams.sh", copy / "scripts" / "standard-streams.sh");
  WriteFile(copy / "scripts" / "install-deps", "#!/bin/sh\nexit 0\n");
  WriteFile(folder_ / "bin" / "cmake",
            "#!/bin/sh\necho \"cmake $*\"\ncase \" $* \" in *\" --build \"*) exit 1 ;; esac\nexit 0\n");
  WriteFile(folder_ / "bin" / "ninja", "#!/bin/sh\nfor i in $(seq 70); do echo \"[$i/70] Building\"; done\n");
  for (const fs::path &script :
       {copy / "scripts" / "install-deps", folder_ / "bin" / "cmake", folder_ / "bin" / "ninja"}) {
    fs::permissions(script, fs::perms::owner_all);
  }
  const Outcome run = Shell("bash " + Quoted(copy / "scripts" / "tour"));
  EXPECT_NE(run.exit_code, 0);  // the build failed, as the fake cmake has it
  const size_t notice = run.out.find("70 steps, a few minutes on two cores");
  const size_t build = run.out.find("cmake --build");
  ASSERT_NE(notice, std::string::npos) << run.out;
  ASSERT_NE(build, std::string::npos) << run.out;
  EXPECT_LT(notice, build);
  EXPECT_THAT(Readme(), HasSubstr("The first run compiles about 70 targets"));
}

}  // namespace
