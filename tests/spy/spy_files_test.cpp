// The files the spy reads and writes, without a transport: its settings file as found beside
// it, and a trace opened only when it is one.
#include <filesystem>
#include <string>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "process_helpers.h"
#include "spy_config.h"
#include "trace_file.h"
#include "trace_format.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

using namespace process_helpers;

class SpyFiles : public ::testing::Test {
 protected:
  void SetUp() override { folder_ = MakeTemporaryFolder("spy-files"); }
  void TearDown() override {
    std::error_code ignored;
    fs::permissions(folder_ / "hwlink-spy.conf", fs::perms::owner_all, ignored);
    RemoveFolder(folder_);
  }
  fs::path folder_;
};

// A missing settings file is no settings; one that is there and cannot be read is said to be
// there, with why.
TEST_F(SpyFiles, ASettingsFileThatIsThereButCannotBeReadIsNotTakenAsAbsent) {
  const fs::path conf = folder_ / "hwlink-spy.conf";
  spy::ConfigFile config = spy::ReadConfigFile(folder_.string());
  EXPECT_EQ(config.state, spy::ConfigFile::State::kAbsent);
  EXPECT_EQ(config.path, conf.string());

  WriteFile(conf, "guard = read-only\n");
  config = spy::ReadConfigFile(folder_.string());
  EXPECT_EQ(config.state, spy::ConfigFile::State::kRead);
  EXPECT_EQ(config.text, "guard = read-only\n");

  fs::remove(conf);
  fs::create_directories(conf);
  config = spy::ReadConfigFile(folder_.string());
  EXPECT_EQ(config.state, spy::ConfigFile::State::kUnreadable);
  EXPECT_FALSE(config.error.empty());
  EXPECT_TRUE(spy::ResolveSettings([](const char *) -> const char * { return nullptr; }, config, folder_.string())
                  .read_only);

  EXPECT_EQ(spy::ReadConfigFile("").state, spy::ConfigFile::State::kUnreadable);
#ifndef _WIN32
  fs::remove(conf);
  WriteFile(conf, "guard = read-only\n");
  fs::permissions(conf, fs::perms::none);
  if (ReadFile(conf).empty()) {  // not root, who may read any file
    config = spy::ReadConfigFile(folder_.string());
    EXPECT_EQ(config.state, spy::ConfigFile::State::kUnreadable);
    EXPECT_THAT(config.error, HasSubstr("Permission denied"));
  }
#endif
}

// A trace is opened when it is new, empty, or begins with a header line (whole, or being
// written by another process at this moment); every other file is refused, left as it was.
TEST_F(SpyFiles, OnlyATraceIsOpenedAsATrace) {
  hwtrace::Header header;
  header.writer = "w";
  header.source = "spy";
  const std::string trace_header = hwtrace::EncodeHeader(header);
  const struct {
    const char *name;
    const char *file;  // null: no file yet
    std::string bytes;
    bool opened;
  } cases[] = {
      {"a new file", nullptr, "", true},
      {"an empty file", "empty.jsonl", "", true},
      {"a trace", "trace.jsonl", trace_header, true},
      {"a header being written", "half.jsonl", trace_header.substr(0, 20), true},
      {"a board image", "board.img", std::string("MVBI\x01\x00\x00\x02", 8) + std::string(600, '\0'), false},
      {"a library", "lib.so", std::string("\x7f" "ELF\x02\x01\x01", 7) + std::string(100, '\0'), false},
      {"a text", "notes.txt", "guard = read-only\n", false},
      {"a record that is not a header", "note.jsonl", R"({"type":"note","pid":1,"start_us":1,"text":"x"})" "\n", false},
      {"the start of a header of something else", "other.jsonl", "{\"type\":\"header\",\"format\":\"other\"", false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path path = folder_ / (c.file != nullptr ? c.file : "new.jsonl");
    if (c.file != nullptr) WriteFile(path, c.bytes);
    hwtrace::AppendFile file;
    std::string error, warning;
    EXPECT_EQ(file.OpenTrace(path.string(), error, warning), c.opened) << error;
    if (c.opened) {
      EXPECT_TRUE(file.Append("appended\n", error)) << error;
      file.Close();
      EXPECT_EQ(ReadFile(path), c.bytes + "appended\n");
    } else {
      EXPECT_EQ(error, path.string() + " is not a board trace (it does not begin with a trace header)");
      EXPECT_EQ(ReadFile(path), c.bytes);
    }
  }

  hwtrace::AppendFile file;
  std::string error, warning;
  fs::create_directories(folder_ / "folder.jsonl");
  EXPECT_FALSE(file.OpenTrace((folder_ / "folder.jsonl").string(), error, warning));
  EXPECT_THAT(error, HasSubstr("folder.jsonl"));
#ifndef _WIN32
  struct stat info {};
  ASSERT_EQ(stat((folder_ / "new.jsonl").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_TRUE(warning.empty());

  // A link is not followed, whether its file exists or not yet.
  fs::create_symlink(folder_ / "board.img", folder_ / "link.jsonl");
  fs::create_symlink(folder_ / "nowhere.jsonl", folder_ / "dangling.jsonl");
  for (const char *link : {"link.jsonl", "dangling.jsonl"}) {
    EXPECT_FALSE(file.OpenTrace((folder_ / link).string(), error, warning));
    EXPECT_EQ(error, (folder_ / link).string() + " is a symbolic link (a trace is never written through one)");
  }
  EXPECT_FALSE(fs::exists(folder_ / "nowhere.jsonl"));

  // A fifo is refused without waiting for a reader.
  ASSERT_EQ(mkfifo((folder_ / "fifo.jsonl").c_str(), 0600), 0);
  EXPECT_FALSE(file.OpenTrace((folder_ / "fifo.jsonl").string(), error, warning));
  EXPECT_THAT(error, HasSubstr("is not a regular file"));

  // An existing trace that others may read: opened, and said with the cure.
  fs::permissions(folder_ / "trace.jsonl", fs::perms::group_read | fs::perms::others_read, fs::perm_options::add);
  ASSERT_TRUE(file.OpenTrace((folder_ / "trace.jsonl").string(), error, warning)) << error;
  EXPECT_THAT(warning, HasSubstr("(mode 0644)"));
  EXPECT_THAT(warning, HasSubstr("chmod 600 " + (folder_ / "trace.jsonl").string()));
#endif
}

}  // namespace
