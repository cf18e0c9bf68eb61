// The pieces of klia swap and klia spy on their own: SHA-256, reading libraries from their
// bytes, the check of a library, klia's record, and changes of a program's folder that happen
// whole or not at all, with every step made to fail, to be interrupted and to be killed.
#ifdef _WIN32
#include <windows.h>
// After windows.h: security descriptors in words.
#include <sddl.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "site/binary_image.h"
#include "shell/errors.h"
#include "site/file_transaction.h"
#include "site/folder_files.h"
#include "site/folder_install.h"
#include "site/install_manifest.h"
#include "site/interface_functions.h"
#include "site/library_check.h"
#include "process_helpers.h"
#include "site/program_folder.h"
#include "platform/platform.h"

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using klia::BinaryImage;
using klia::FileStepFailure;
using klia::FolderFiles;
using klia::FolderInstall;
using klia::FolderReport;
using klia::FolderState;

using process_helpers::MakeTemporaryFolder;
using process_helpers::ReadFile;
using process_helpers::RemoveFolder;
using process_helpers::WriteFile;

// The names klia uses in a program's folder here (mviahlp.dll; natively libmviahlp.so.1).
const std::string kLibrary = klia::kInterfaceLibraryFile;
const std::string kKeptLibrary = kLibrary + klia::kOriginalSuffix;
const std::string kTransport = klia::kTransportFile;
const std::string kRealTransport = klia::kRealTransportFile;
const std::string kSettings = klia::kSpySettingsFile;

// SHA-256 ------------------------------------------------------------------------------------

// The examples of FIPS 180-4 (and its one-million-'a' message).
TEST(Sha256, GivesTheStandardsDigests) {
  const std::pair<std::string, const char *> cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto &[message, digest] : cases) EXPECT_EQ(klia::Sha256Hex(message), digest) << message.size();
}

TEST(Sha256, PiecesGiveTheDigestOfTheWhole) {
  const std::string message = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  klia::Sha256 hash;
  for (size_t at = 0; at < message.size(); at += 7) hash.Update(message.data() + at, std::min<size_t>(7, message.size() - at));
  EXPECT_EQ(klia::Sha256Hex(hash.Finish()), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

// Libraries read from their bytes -------------------------------------------------------------

void Put16(std::string &bytes, size_t at, uint16_t value) {
  bytes[at] = static_cast<char>(value & 0xFF);
  bytes[at + 1] = static_cast<char>(value >> 8);
}
void Put32(std::string &bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + static_cast<size_t>(i)] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

// A small PE file: the headers and one section holding an export table of `exports`
// (ordinal -> name, "" for one exported by ordinal only).
std::string MakePe(uint16_t machine, bool wide, bool dll, const std::map<uint32_t, std::string> &exports) {
  constexpr uint32_t kSectionAddress = 0x1000, kSectionFile = 0x400;
  const uint32_t base = exports.empty() ? 1 : exports.begin()->first;
  const uint32_t count = exports.empty() ? 0 : exports.rbegin()->first - base + 1;
  uint32_t named = 0;
  for (const auto &[ordinal, name] : exports) named += name.empty() ? 0 : 1;
  // The section: directory, address table, name table, ordinal table, the DLL's name, names.
  const uint32_t functions = 40, names = functions + 4 * count, indexes = names + 4 * named;
  uint32_t strings = indexes + 2 * named;
  std::string section(strings, '\0');
  const uint32_t dll_name = strings;
  section += std::string("test.dll") + '\0';
  Put32(section, 12, kSectionAddress + dll_name);
  Put32(section, 16, base);
  Put32(section, 20, count);
  Put32(section, 24, named);
  Put32(section, 28, kSectionAddress + functions);
  Put32(section, 32, kSectionAddress + names);
  Put32(section, 36, kSectionAddress + indexes);
  uint32_t n = 0;
  for (const auto &[ordinal, name] : exports) {
    Put32(section, functions + 4 * (ordinal - base), 0x2000 + ordinal);
    if (name.empty()) continue;
    Put32(section, names + 4 * n, kSectionAddress + static_cast<uint32_t>(section.size()));
    Put16(section, indexes + 2 * n, static_cast<uint16_t>(ordinal - base));
    section += name + '\0';
    ++n;
  }
  const uint16_t optional_size = wide ? 240 : 224;
  std::string image(kSectionFile, '\0');
  image[0] = 'M';
  image[1] = 'Z';
  Put32(image, 0x3C, 0x40);
  image.replace(0x40, 4, std::string("PE\0\0", 4));
  const size_t coff = 0x44, optional = coff + 20, table = optional + optional_size;
  Put16(image, coff, machine);
  Put16(image, coff + 2, 1);
  Put16(image, coff + 16, optional_size);
  Put16(image, coff + 18, static_cast<uint16_t>(0x0002 | (dll ? 0x2000 : 0)));
  Put16(image, optional, wide ? 0x20B : 0x10B);
  Put32(image, optional + (wide ? 108 : 92), 16);
  Put32(image, optional + (wide ? 112 : 96), kSectionAddress);
  Put32(image, optional + (wide ? 116 : 100), static_cast<uint32_t>(section.size()));
  image.replace(table, 6, ".edata");
  Put32(image, table + 8, static_cast<uint32_t>(section.size()));
  Put32(image, table + 12, kSectionAddress);
  Put32(image, table + 16, static_cast<uint32_t>(section.size()));
  Put32(image, table + 20, kSectionFile);
  return image + section;
}

std::map<uint32_t, std::string> Interface() {
  std::map<uint32_t, std::string> exports;
  for (int ordinal = 1; ordinal <= klia::kInterfaceFunctionCount; ++ordinal) {
    exports[static_cast<uint32_t>(ordinal)] = std::string(klia::kInterfaceFunctionNames[static_cast<size_t>(ordinal - 1)]);
  }
  return exports;
}

TEST(BinaryImage, ReadsThePeExportTableByOrdinalAndName) {
  std::map<uint32_t, std::string> exports = Interface();
  exports[27] = "KLIAGetErrorState";
  exports[40] = "";
  const BinaryImage image = klia::ReadBinaryImage(MakePe(0x14C, false, true, exports));
  EXPECT_EQ(image.format, klia::ImageFormat::kPe);
  EXPECT_EQ(image.bits, 32);
  EXPECT_TRUE(image.library);
  EXPECT_EQ(klia::MachineName(image), "i386 (32-bit x86)");
  EXPECT_EQ(image.ordinals.size(), 28u);
  EXPECT_EQ(image.ordinals.at(15), "KLIAFlush");
  EXPECT_EQ(image.ordinals.at(40), "");
  EXPECT_TRUE(klia::MissingInterface(image).empty());
}

// What a DLL lacks to stand in for the interface library: each ordinal, under its own name.
TEST(BinaryImage, AnInterfaceLibraryNeedsEachOrdinalUnderItsName) {
  struct Case {
    const char *what;
    std::function<void(std::map<uint32_t, std::string> &)> change;
    std::vector<std::string> missing;
  };
  const Case cases[] = {
      {"no ordinal 15", [](auto &e) { e.erase(15); }, {"no KLIAFlush (ordinal 15)"}},
      {"ordinal 3 by ordinal only", [](auto &e) { e[3] = ""; }, {"ordinal 3 without its name KLIASetRTCDateTime"}},
      {"a decorated name", [](auto &e) { e[3] = "_KLIASetRTCDateTime@4"; },
       {"ordinal 3 named _KLIASetRTCDateTime@4 instead of KLIASetRTCDateTime"}},
      {"two names swapped", [](auto &e) { std::swap(e[1], e[2]); },
       {"ordinal 1 named KLIAMakeUserXID instead of Today", "ordinal 2 named Today instead of KLIAMakeUserXID"}},
  };
  for (const Case &c : cases) {
    std::map<uint32_t, std::string> exports = Interface();
    c.change(exports);
    EXPECT_EQ(klia::MissingInterface(klia::ReadBinaryImage(MakePe(0x14C, false, true, exports))), c.missing) << c.what;
  }
}

TEST(BinaryImage, AProgramOrALibraryOfAnotherMachineIsTold) {
  const BinaryImage wide = klia::ReadBinaryImage(MakePe(0x8664, true, true, Interface()));
  EXPECT_EQ(wide.bits, 64);
  EXPECT_EQ(klia::MachineName(wide), "x86-64");
  const BinaryImage program = klia::ReadBinaryImage(MakePe(0x14C, false, false, {}), false);
  EXPECT_FALSE(program.library);
  try {
    klia::CheckSameMachine(wide, "new/mviahlp.dll", program, "the folder's program logon.exe");
    FAIL() << "a 64-bit library for a 32-bit program";
  } catch (const klia::Failure &e) {
    EXPECT_EQ(e.kind(), "machine");
    EXPECT_THAT(e.what(), HasSubstr("new/mviahlp.dll is built for x86-64 (64-bit)"));
    EXPECT_THAT(e.what(), HasSubstr("logon.exe is built for i386 (32-bit x86) (32-bit)"));
  }
}

// A truncated or damaged file gives an ImageError, never a read outside its bytes (the
// sanitizer build checks the reads).
void ExpectReadOrImageError(const std::string &bytes) {
  try {
    klia::ReadBinaryImage(bytes);
  } catch (const klia::ImageError &e) {
    EXPECT_NE(std::string(e.what()), "");
  }
}

TEST(BinaryImage, TruncatedAndDamagedFilesGiveAnErrorNeverACrash) {
  std::vector<std::string> files = {MakePe(0x14C, false, true, Interface()), MakePe(0x8664, true, true, Interface()),
                                    ReadFile(OUR_LIBRARY)};
  std::mt19937 random(26);
  for (const std::string &whole : files) {
    ASSERT_GT(whole.size(), 1000u);
    for (size_t length = 0; length < 2048; ++length) ExpectReadOrImageError(whole.substr(0, length));
    for (size_t length = 2048; length < whole.size(); length += 1 + whole.size() / 200) {
      ExpectReadOrImageError(whole.substr(0, length));
    }
    for (int round = 0; round < 3000; ++round) {
      std::string damaged = whole;
      for (int flips = 0; flips < 4; ++flips) {
        // Mostly in the headers and tables, where offsets and counts are.
        const size_t span = round % 2 == 0 ? std::min<size_t>(damaged.size(), 4096) : damaged.size();
        damaged[random() % span] = static_cast<char>(random());
      }
      ExpectReadOrImageError(damaged);
    }
  }
  EXPECT_THROW(klia::ReadBinaryImage(""), klia::ImageError);
  EXPECT_THROW(klia::ReadBinaryImage("#!/bin/sh\necho not a library\n"), klia::ImageError);
}

// The libraries of this build, read from their files.
TEST(LibraryCheck, JudgesTheLibrariesOfThisBuild) {
  const std::string ours = ReadFile(OUR_LIBRARY);
  EXPECT_NO_THROW(klia::CheckInterfaceLibrary(ours, OUR_LIBRARY));
#ifdef _WIN32
  // The DLL's version resource.
  EXPECT_EQ(klia::ReadBinaryImage(ours).file_version, PROJECT_VERSION_TEXT ".0");
#endif
  try {
    klia::CheckInterfaceLibrary(ReadFile(WITHOUT_FLUSH_LIBRARY), "without-flush");
    FAIL() << "a library without KLIAFlush";
  } catch (const klia::Failure &e) {
    EXPECT_THAT(e.what(), HasSubstr("KLIAFlush"));
  }
  const std::string spy = ReadFile(SPY_LIBRARY), board = ReadFile(VBOARD_LIBRARY);
  EXPECT_THROW(klia::CheckInterfaceLibrary(spy, "spy"), klia::Failure);
  EXPECT_THROW(klia::CheckTransport(ours, "ours"), klia::Failure);
  EXPECT_NO_THROW(klia::CheckTransport(spy, "spy"));
  EXPECT_NO_THROW(klia::CheckTransport(board, "board"));
  EXPECT_EQ(klia::SpyVersion(spy), std::optional<std::string>(PROJECT_VERSION_TEXT));
  EXPECT_EQ(klia::SpyVersion(board), std::nullopt);
  EXPECT_EQ(klia::SpyVersion(ours), std::nullopt);
}

// klia's record ------------------------------------------------------------------------------

klia::InstallManifest SomeRecord() {
  klia::InstallManifest record;
  record.kind = "spy";
  record.time = "2026-12-11T10:00:00Z";
  record.klia_version = "1.0.0";
  record.files.push_back({kTransport, klia::KeptOriginal{kRealTransport, {100, std::string(64, 'a')}, ""},
                          {200, std::string(64, 'b')}, {{150, std::string(64, 'c')}}, "C:\\klia\\spy\\HWLINK32.DLL",
                          "hwlink-spy 1.0.0"});
  record.files.push_back({kSettings, std::nullopt, {50, std::string(64, 'd')}, {}, "", ""});
  record.details = {{"trace", "C:\\traces\\t.jsonl"}, {"guard", "read-only"}};
  return record;
}

TEST(InstallRecord, IsReadBackAsWritten) {
  const klia::InstallManifest record = SomeRecord();
  const klia::InstallManifest read = klia::DecodeManifest(klia::EncodeManifest(record), "klia-spy.json");
  EXPECT_EQ(klia::EncodeManifest(read), klia::EncodeManifest(record));
  ASSERT_EQ(read.files.size(), 2u);
  EXPECT_EQ(read.files[0].original->kept_as, kRealTransport);
  EXPECT_EQ(read.files[0].earlier.size(), 1u);
  EXPECT_FALSE(read.files[1].original.has_value());
  EXPECT_EQ(read.details.at("guard"), "read-only");
}

// A record that is not sound is refused whole: klia acts on nothing it cannot account for,
// least of all on a name that leads out of the folder.
TEST(InstallRecord, AnUnsoundRecordIsRefusedWhole) {
  const std::string good = klia::EncodeManifest(SomeRecord());
  auto edited = [&](const std::string &from, const std::string &to) {
    std::string text = good;
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
  };
  const std::string real = "\"" + kRealTransport + "\"", settings = "\"" + kSettings + "\"";
  const std::pair<const char *, std::string> cases[] = {
      {"not JSON", "{\"klia_manifest\": 1,"},
      {"another format", edited("\"klia_manifest\": 1", "\"klia_manifest\": 2")},
      {"a name with a folder", edited(real, "\"../" + kRealTransport + "\"")},
      {"a Windows folder", edited(real, "\"C:\\\\Windows\\\\HWLINK32.DLL\"")},
      {"the parent folder", edited(settings, "\"..\"")},
      {"a digest too short", edited(std::string(64, 'd'), "dddd")},
      {"a digest not hex", edited(std::string(64, 'd'), std::string(64, 'x'))},
      {"a size as text", edited("\"size\": 50", "\"size\": \"50\"")},
      {"a negative size", edited("\"size\": 50", "\"size\": -50")},
      {"a name twice", edited(settings, "\"" + kTransport + "\"")},
      {"the record itself", edited(settings, "\"klia-spy.json\"")},
      {"no files", edited("\"files\"", "\"filez\"")},
      // Names klia never puts into a folder, or not for this kind of change, or not in this role.
      {"a file of the program", edited(settings, "\"logon.exe\"")},
      {"the interface library in a spy's record", edited(settings, "\"" + kLibrary + "\"")},
      {"the settings placed under their kept name", edited(settings, "\"" + kSettings + klia::kOriginalSuffix + "\"")},
      {"the real transport kept under the settings' kept name",
       edited(real, "\"" + kSettings + klia::kOriginalSuffix + "\"")},
      {"an unknown kind", edited("\"kind\": \"spy\"", "\"kind\": \"other\"")},
  };
  for (const auto &[what, text] : cases) {
    EXPECT_THROW(klia::DecodeManifest(text, "klia-spy.json"), klia::ManifestError) << what;
  }
  // A name klia does not use is named, with the record and what to do.
  try {
    klia::DecodeManifest(edited(settings, "\"logon.exe\""), "/site/klia-spy.json");
    ADD_FAILURE() << "a record naming the program was used";
  } catch (const klia::ManifestError &e) {
    EXPECT_THAT(e.what(), HasSubstr("/site/klia-spy.json"));
    EXPECT_THAT(e.what(), HasSubstr("\"logon.exe\""));
    EXPECT_THAT(e.what(), HasSubstr("edited by hand"));
  }
}

#ifdef _WIN32
// Windows finds a file whatever the case of its name, and klia records the folder's spelling.
TEST(InstallRecord, TakesTheFoldersSpellingOfANameOnWindows) {
  klia::InstallManifest record = SomeRecord();
  record.files[0].name = "hwlink32.dll";
  record.files[0].original->kept_as = "Hwlink32-Real.dll";
  EXPECT_NO_THROW(klia::DecodeManifest(klia::EncodeManifest(record), "klia-spy.json"));
}
#endif

// Changes of a folder ----------------------------------------------------------------------------

// Something that ends klia between two steps: nothing after it happens, not even an undo.
struct Killed : std::runtime_error {
  Killed() : std::runtime_error("killed") {}
};

// Files whose Nth change fails (a full disk) or kills klia.
class FaultyFiles : public FolderFiles {
 public:
  using FolderFiles::FolderFiles;
  int fail_at = 0;
  bool kill = false;
  int changes = 0;

 protected:
  void BeforeChange(std::string_view, const std::string &name) override {
    ++changes;
    if (dead_) throw Killed();
    if (changes != fail_at) return;
    if (kill) {
      dead_ = true;
      throw Killed();
    }
    throw FileStepFailure(FileStepFailure::Cause::kDiskFull, "cannot write " + name + ": injected: no space left");
  }

 private:
  bool dead_ = false;
};

using Snapshot = std::map<std::string, std::string>;

class FolderChange : public ::testing::Test {
 protected:
  void SetUp() override { folder_ = MakeTemporaryFolder("folder-change-test"); }
  void TearDown() override { RemoveFolder(folder_); }

  // Every name in the folder with what it is: the bytes of a file, where a link leads.
  Snapshot Take() const {
    Snapshot snapshot;
    for (const auto &entry : fs::directory_iterator(folder_)) {
      const std::string name = entry.path().filename().string();
      snapshot[name] = entry.is_symlink() ? "link to " + fs::read_symlink(entry.path()).string()
                                          : "file " + ReadFile(entry.path());
    }
    return snapshot;
  }

  std::unique_ptr<FolderInstall> Install(FolderFiles &files, std::function<bool()> stop = {}) {
    return std::make_unique<FolderInstall>(files, "klia-" + kind_ + ".json", kind_,
                                           FolderInstall::Commands{"status", "undo", "forget"}, std::move(stop));
  }

  // The folder of a program with its interface library.
  void MakeProgramFolder() {
    WriteFile(folder_ / kLibrary, "the site's library");
    WriteFile(folder_ / "logon.exe", "the program");
  }
  void Swap(FolderFiles &files, const std::string &bytes = "our library", std::function<bool()> stop = {}) {
    Install(files, std::move(stop))->Place({{kLibrary, bytes, 0644, kKeptLibrary, "src", "v1"}}, {});
  }
  // The spy's kind of change: one file replaced, one added next to it, a setting kept.
  void MakeSpyFolder(bool with_settings) {
    WriteFile(folder_ / kTransport, "the real transport");
    if (with_settings) WriteFile(folder_ / kSettings, "trace = old.jsonl\n");
  }
  void InstallSpy(FolderFiles &files, bool with_settings, std::function<bool()> stop = {}) {
    Install(files, std::move(stop))
        ->Place({{kTransport, "the spy", 0755, kRealTransport, "spy", "hwlink-spy 1.0.0"},
                 {kSettings, "target = " + kRealTransport + "\n", 0644,
                  with_settings ? kSettings + klia::kOriginalSuffix : "", "", ""}},
                {{"guard", "read-only"}});
  }
  void TakeOut(FolderFiles &files, std::function<bool()> stop = {}) {
    auto install = Install(files, std::move(stop));
    install->TakeOut(install->Report());
  }

  // Runs `change` from `prepare`d folders with each of its steps failing in turn, then being
  // killed in turn, then interrupted in turn. A failure or Ctrl-C leaves the folder as it was;
  // after a kill, taking out puts it back as it was before anything of klia's.
  void Sweep(const std::function<void(FolderFiles &)> &prepare,
             const std::function<void(FolderFiles &, std::function<bool()>)> &change,
             const std::function<bool(FolderFiles &)> &done) {
    int steps = 0;
    {
      TearDown();
      SetUp();
      MakeFolder();
      const Snapshot pristine = Take();
      FaultyFiles files(folder_.string());
      prepare(files);
      files.changes = 0;
      change(files, {});
      steps = files.changes;
      ASSERT_GT(steps, 3);
      ASSERT_TRUE(done(files));
      TakeOutWhatIsLeft();
      ASSERT_EQ(Take(), pristine) << "the change taken out again";
    }
    for (int fail_at = 1; fail_at <= steps; ++fail_at) {
      for (const bool kill : {false, true}) {
        TearDown();
        SetUp();
        MakeFolder();
        const Snapshot pristine = Take();
        FaultyFiles files(folder_.string());
        prepare(files);
        const Snapshot before = Take();
        files.changes = 0;
        files.fail_at = fail_at;
        files.kill = kill;
        std::string failure;
        try {
          change(files, {});
        } catch (const Killed &) {
          EXPECT_TRUE(kill);
          failure = "killed";
        } catch (const klia::Failure &e) {
          EXPECT_FALSE(kill);
          EXPECT_EQ(e.kind(), "disk_full");
          failure = e.what();
        }
        if (failure.find("Nothing was changed") != std::string::npos) {
          EXPECT_EQ(Take(), before) << "step " << fail_at << " failed: " << failure;
          continue;
        }
        if (failure.empty()) {
          // Only a scratch file's removal at the end failed: the change stands.
          EXPECT_TRUE(done(files)) << "step " << fail_at << " failed, and the change said nothing";
        } else if (failure != "killed") {
          EXPECT_THAT(failure, HasSubstr("to finish, run")) << "step " << fail_at;
        }
        // A later klia finishes the folder from the record and the files as they are.
        TakeOutWhatIsLeft();
        EXPECT_EQ(Take(), pristine) << "step " << fail_at << (kill ? " killed klia" : " failed") << ", then taken out";
      }
    }
    for (int stop_at = 1;; ++stop_at) {
      TearDown();
      SetUp();
      MakeFolder();
      FolderFiles files(folder_.string());
      prepare(files);
      const Snapshot before = Take();
      int asked = 0;
      try {
        change(files, [&] { return ++asked == stop_at; });
        break;  // asked fewer times: every stop point was tried
      } catch (const klia::Interrupted &e) {
        EXPECT_THAT(e.what(), HasSubstr("nothing was changed"));
        EXPECT_EQ(Take(), before) << "interrupted at check " << stop_at;
      }
    }
  }

  void TakeOutWhatIsLeft() {
    FolderFiles files(folder_.string());
    auto install = Install(files);
    const FolderReport report = install->Report();
    EXPECT_NE(report.state, FolderState::kChanged);
    install->TakeOut(report);
  }
  bool InPlace(FolderFiles &files) { return Install(files)->Report().state == FolderState::kInPlace; }
  bool NoRecord(FolderFiles &files) { return !Install(files)->Report().manifest.has_value(); }

  std::function<void()> MakeFolder = [this] { MakeProgramFolder(); };
  std::string kind_ = "swap";  // whose change: klia swap's or klia spy's
  fs::path folder_;
};

TEST_F(FolderChange, ASwapIsRecordedAndTakenOutExactly) {
  MakeProgramFolder();
  const Snapshot before = Take();
  FolderFiles files(folder_.string());
  Swap(files);
  EXPECT_EQ(ReadFile(folder_ / kLibrary), "our library");
  EXPECT_EQ(ReadFile(folder_ / kKeptLibrary), "the site's library");
  auto install = Install(files);
  const FolderReport report = install->Report();
  EXPECT_EQ(report.state, FolderState::kInPlace);
  ASSERT_EQ(report.files.size(), 1u);
  EXPECT_EQ(report.files[0].record.original->content.sha256, klia::Sha256Hex("the site's library"));
  EXPECT_EQ(report.files[0].record.installed.sha256, klia::Sha256Hex("our library"));
  EXPECT_THAT(Take(), ::testing::Contains(::testing::Key("klia-swap.json")));
  install->TakeOut(report);
  EXPECT_EQ(Take(), before);
  EXPECT_EQ(install->Report().state, FolderState::kNone);
}

TEST_F(FolderChange, ASwapIsWholeOrNothing) {
  Sweep([](FolderFiles &) {}, [this](FolderFiles &files, std::function<bool()> stop) { Swap(files, "our library", stop); },
        [this](FolderFiles &files) { return InPlace(files); });
}

TEST_F(FolderChange, AnUndoIsWholeOrNothing) {
  Sweep([this](FolderFiles &) {
    FolderFiles healthy(folder_.string());
    Swap(healthy);
  },
        [this](FolderFiles &files, std::function<bool()> stop) { TakeOut(files, stop); },
        [this](FolderFiles &files) { return NoRecord(files); });
}

TEST_F(FolderChange, ASecondLibraryKeepsTheOriginalAndIsWholeOrNothing) {
  Sweep([this](FolderFiles &) {
    FolderFiles healthy(folder_.string());
    Swap(healthy);
  },
        [this](FolderFiles &files, std::function<bool()> stop) {
          auto install = Install(files, std::move(stop));
          install->Renew(install->Report(), {{kLibrary, "our newer library", 0644, "", "src", "v2"}});
        },
        [this](FolderFiles &files) { return InPlace(files) && ReadFile(folder_ / kLibrary) == "our newer library"; });
}

TEST_F(FolderChange, TheSpysChangeIsWholeOrNothingWithAndWithoutEarlierSettings) {
  for (const bool with_settings : {false, true}) {
    SCOPED_TRACE(with_settings ? "with a hwlink-spy.conf there" : "without a hwlink-spy.conf");
    MakeFolder = [this, with_settings] { MakeSpyFolder(with_settings); };
    kind_ = "spy";
    Sweep([](FolderFiles &) {},
          [this, with_settings](FolderFiles &files, std::function<bool()> stop) { InstallSpy(files, with_settings, stop); },
          [this](FolderFiles &files) { return InPlace(files); });
    Sweep([this, with_settings](FolderFiles &) {
      FolderFiles healthy(folder_.string());
      InstallSpy(healthy, with_settings);
    },
          [this](FolderFiles &files, std::function<bool()> stop) { TakeOut(files, stop); },
          [this](FolderFiles &files) { return NoRecord(files); });
  }
}

// A file klia recorded that is no longer what it was: klia refuses and changes nothing.
TEST_F(FolderChange, AFileChangedSinceIsRefusedAndNothingChanges) {
  const std::pair<const char *, std::function<void(const fs::path &)>> cases[] = {
      {"the library replaced again (an update)", [](const fs::path &f) { WriteFile(f / kLibrary, "an update"); }},
      {"the kept original edited", [](const fs::path &f) { WriteFile(f / kKeptLibrary, "edited"); }},
      {"the kept original deleted", [](const fs::path &f) { fs::remove(f / kKeptLibrary); }},
  };
  for (const auto &[what, change] : cases) {
    TearDown();
    SetUp();
    MakeProgramFolder();
    FolderFiles files(folder_.string());
    Swap(files);
    change(folder_);
    const Snapshot before = Take();
    auto install = Install(files);
    const FolderReport report = install->Report();
    EXPECT_EQ(report.state, FolderState::kChanged) << what;
    try {
      install->TakeOut(report);
      ADD_FAILURE() << what << ": taken out";
    } catch (const klia::Failure &e) {
      EXPECT_EQ(e.kind(), "changed") << what;
      EXPECT_THAT(e.what(), HasSubstr("klia changes nothing")) << what;
    }
    EXPECT_EQ(Take(), before) << what;
  }
}

// A name klia needs that is there without its record: klia will not write over it.
TEST_F(FolderChange, ANameKliaNeedsThatIsTakenStopsItBeforeAnyChange) {
  for (const std::string &taken : {kKeptLibrary, kLibrary + ".klia-new", kKeptLibrary + ".klia-removed"}) {
    TearDown();
    SetUp();
    MakeProgramFolder();
    WriteFile(folder_ / taken, "someone's file");
    const Snapshot before = Take();
    FolderFiles files(folder_.string());
    try {
      Swap(files);
      ADD_FAILURE() << taken;
    } catch (const klia::Failure &e) {
      EXPECT_EQ(e.kind(), "occupied");
      EXPECT_THAT(e.what(), HasSubstr(taken));
    }
    EXPECT_EQ(Take(), before) << taken;
  }
}

TEST_F(FolderChange, ARecordKliaCannotReadStopsItBeforeAnyChange) {
  MakeProgramFolder();
  FolderFiles files(folder_.string());
  Swap(files);
  WriteFile(folder_ / "klia-swap.json", "{\"klia_manifest\": 1, \"kind\": \"swap\", \"files\": [{\"name\": \"../x\"}]}");
  const Snapshot before = Take();
  try {
    Install(files)->Report();
    ADD_FAILURE() << "an unsound record was used";
  } catch (const klia::Failure &e) {
    EXPECT_EQ(e.kind(), "record");
    EXPECT_THAT(e.what(), HasSubstr("not a plain file name"));
  }
  EXPECT_EQ(Take(), before);
}

// A record a killed klia had not yet put in place: nothing else was changed, and its scratch
// file goes with the next change.
TEST_F(FolderChange, TheScratchOfARecordNeverPutInPlaceGoesWithTheNextChange) {
  MakeProgramFolder();
  const Snapshot pristine = Take();
  WriteFile(folder_ / "klia-swap.json.klia-new", "{\"klia_manifest\": 1, \"ki");
  FolderFiles files(folder_.string());
  auto install = Install(files);
  FolderReport report = install->Report({kKeptLibrary});
  EXPECT_EQ(report.state, FolderState::kNone);
  EXPECT_THAT(report.scratch, ElementsAre("klia-swap.json.klia-new"));
  install->TakeOut(report);
  EXPECT_EQ(Take(), pristine);
  WriteFile(folder_ / "klia-swap.json.klia-previous", "half a record");
  Swap(files);
  EXPECT_FALSE(fs::exists(folder_ / "klia-swap.json.klia-previous"));
  EXPECT_EQ(install->Report().state, FolderState::kInPlace);
}

// Scratch files of a klia that was killed are listed and removed by the next take-out.
TEST_F(FolderChange, ScratchFilesOfAnInterruptedKliaGoWithTheTakeOut) {
  MakeProgramFolder();
  const Snapshot pristine = Take();
  FolderFiles files(folder_.string());
  Swap(files);
  WriteFile(folder_ / (kLibrary + ".klia-new"), "half a libr");
  auto install = Install(files);
  const FolderReport report = install->Report();
  EXPECT_EQ(report.state, FolderState::kInPlace);
  EXPECT_THAT(report.scratch, ElementsAre(kLibrary + ".klia-new"));
  install->TakeOut(report);
  EXPECT_EQ(Take(), pristine);
}

// Forgetting a folder changed since drops the record and klia's scratch files, nothing else:
// the changed file and the kept original stay as they lie. While the files are as klia can
// take out, forgetting is refused and the folder is untouched.
TEST_F(FolderChange, ForgettingDropsTheRecordAndScratchFilesAlone) {
  MakeProgramFolder();
  FolderFiles files(folder_.string());
  Swap(files);
  const Snapshot in_place = Take();
  auto install = Install(files);
  try {
    install->PlanForget({kLibrary, kKeptLibrary});
    ADD_FAILURE() << "a folder klia can take its files out of was forgotten";
  } catch (const klia::Failure &e) {
    EXPECT_EQ(e.kind(), "can_take_out");
    EXPECT_THAT(e.what(), HasSubstr("run 'undo'"));
  }
  EXPECT_EQ(Take(), in_place);

  WriteFile(folder_ / kLibrary, "an update's library");
  WriteFile(folder_ / (kLibrary + ".klia-new"), "half a libr");
  Snapshot expected = Take();
  expected.erase("klia-swap.json");
  expected.erase(kLibrary + ".klia-new");
  const FolderInstall::ForgetPlan plan = install->PlanForget({kLibrary, kKeptLibrary});
  ASSERT_TRUE(plan.report.has_value());
  EXPECT_EQ(plan.report->state, FolderState::kChanged);
  EXPECT_THAT(plan.there, ElementsAre(kLibrary, kKeptLibrary));
  EXPECT_THAT(plan.scratch, ElementsAre(kLibrary + ".klia-new"));
  install->Forget(plan);
  EXPECT_EQ(Take(), expected);
  EXPECT_EQ(ReadFile(folder_ / kKeptLibrary), "the site's library");
  // Nothing left to forget, and the kept original is now a name klia does not touch.
  EXPECT_FALSE(install->PlanForget({kLibrary, kKeptLibrary}).record);
  EXPECT_THAT(install->Report({kKeptLibrary}).strays, ElementsAre(kKeptLibrary));
}

#ifdef _WIN32
// A replaced file's access control list stays with its name: the new file gets it before it is
// renamed into place (and the kept copy too), and the undo puts the original back with it.
TEST_F(FolderChange, AReplacedFilesAccessControlListIsKept) {
  MakeProgramFolder();
  const std::wstring path = (folder_ / kLibrary).wstring();
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;WD)(A;;FR;;;BU)", SDDL_REVISION_1,
                                                                   &descriptor, nullptr));
  const BOOL set = SetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, descriptor);
  LocalFree(descriptor);
  ASSERT_TRUE(set);
  FolderFiles files(folder_.string());
  // Windows keeps the list as set; Wine reads back what its file system holds of it.
  const std::string original = files.AccessOf(kLibrary)->acl;
  ASSERT_FALSE(original.empty());
  Swap(files);
  EXPECT_EQ(files.AccessOf(kLibrary)->acl, original);
  EXPECT_EQ(files.AccessOf(kKeptLibrary)->acl, original);
  TakeOut(files);
  EXPECT_EQ(files.AccessOf(kLibrary)->acl, original);
  EXPECT_EQ(ReadFile(folder_ / kLibrary), "the site's library");
}
#endif

#ifndef _WIN32
// A replaced file's owner, group and mode stay with its name whatever klia's umask: the new file
// gets them before it is renamed into place, and the original goes back with its own. As root
// the files belong to another group (nogroup) and to the user nobody.
TEST_F(FolderChange, AReplacedFilesOwnerGroupAndModeAreKeptWhateverTheUmask) {
  const bool root = geteuid() == 0;
  if (!root) std::printf("not root: the owner and group part is left out (the files stay the test's own)\n");
  struct Case {
    const char *what;
    unsigned mode;
    uid_t owner;
    gid_t group;
  };
  const Case cases[] = {
      {"0750", 0750, geteuid(), getegid()},
      {"0640, another group", 0640, geteuid(), root ? 65534 : getegid()},
      {"0755, another owner and group", 0755, root ? 65534 : geteuid(), root ? 65534 : getegid()},
      {"setgid 02750", 02750, geteuid(), root ? 65534 : getegid()},
  };
  auto access = [&](const std::string &name) {
    struct stat info {};
    EXPECT_EQ(stat((folder_ / name).c_str(), &info), 0) << name;
    return std::to_string(info.st_uid) + ":" + std::to_string(info.st_gid) + " " + std::to_string(info.st_mode & 07777);
  };
  for (const Case &c : cases) {
    TearDown();
    SetUp();
    MakeProgramFolder();
    ASSERT_EQ(chown((folder_ / kLibrary).c_str(), c.owner, c.group), 0) << c.what;
    ASSERT_EQ(chmod((folder_ / kLibrary).c_str(), c.mode), 0) << c.what;
    const std::string original = access(kLibrary);
    const mode_t umask_before = umask(077);
    FolderFiles files(folder_.string());
    Swap(files);
    const std::string placed = access(kLibrary);
    auto install = Install(files);
    install->Renew(install->Report(), {{kLibrary, "our newer library", 0644, "", "src", "v2"}});
    const std::string renewed = access(kLibrary);
    TakeOut(files);
    umask(umask_before);
    EXPECT_EQ(placed, original) << c.what;
    EXPECT_EQ(renewed, original) << c.what;
    EXPECT_EQ(access(kLibrary), original) << c.what;
    EXPECT_EQ(ReadFile(folder_ / kLibrary), "the site's library") << c.what;
  }
}

// An installed library's name is often a symbolic link (libmviahlp.so.1 -> libmviahlp.so.1.0.0):
// it is kept as the link it is and put back as the same link.
TEST_F(FolderChange, ALinkIsKeptAndPutBackAsTheSameLink) {
  WriteFile(folder_ / "libmviahlp.so.1.0.0", "the site's library");
  fs::create_symlink("libmviahlp.so.1.0.0", folder_ / "libmviahlp.so.1");
  const Snapshot before = Take();
  FolderFiles files(folder_.string());
  Install(files)->Place({{"libmviahlp.so.1", "our library", 0644, "libmviahlp.so.1.klia-original", "", ""}}, {});
  EXPECT_EQ(ReadFile(folder_ / "libmviahlp.so.1"), "our library");
  EXPECT_EQ(ReadFile(folder_ / "libmviahlp.so.1.0.0"), "the site's library");
  EXPECT_EQ(fs::read_symlink(folder_ / "libmviahlp.so.1.klia-original"), "libmviahlp.so.1.0.0");
  EXPECT_EQ(Install(files)->Report().state, FolderState::kInPlace);
  TakeOut(files);
  EXPECT_EQ(Take(), before);
}
#endif

}  // namespace
