// The board trace format, its decoding and comparison, and the spy's settings: the parts
// that the spy, the virtual board and klia share, tested without a transport.
#include <map>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "spy_config.h"
#include "trace_decode.h"
#include "trace_format.h"

namespace {

using ::testing::HasSubstr;
using hwtrace::Block;
using hwtrace::Exchange;

const std::string kHeader =
    R"({"type":"header","format":"hwlink-trace","version":"1.0","writer":"w","source":"spy","pid":1,"start_us":5})"
    "\n";

Exchange ReadMemory(uint16_t page, std::vector<uint8_t> answer) {
  Exchange x;
  x.seq = 7;
  x.pid = 4711;
  x.start_us = 1765375200123456;
  x.duration_us = 42;
  x.entry = hwtrace::kEntryTransferEx;
  x.command = 21;
  const uint8_t block[6] = {static_cast<uint8_t>(page), static_cast<uint8_t>(page >> 8), 0, 0,
                            static_cast<uint8_t>(answer.size()), static_cast<uint8_t>(answer.size() >> 8)};
  x.param_length = 6;
  x.param = Block::Bytes(block, 6);
  x.out = Block::Bytes(nullptr, 0);
  x.in_length = static_cast<uint16_t>(answer.size());
  x.in = Block::Bytes(answer.data(), static_cast<uint32_t>(answer.size()));
  x.status = 0;
  x.aux = 0;
  x.result = 1;
  return x;
}

TEST(TraceFormat, AnExchangeReadsBackAsItWasWritten) {
  Exchange x = ReadMemory(0x0108, {0x00, 0xFF, 0x7F, 0x80});
  hwtrace::Note note{4711, 9, "a \"quoted\" path C:\\x and a byte \xE9", 0};
  const std::string text = kHeader + hwtrace::EncodeExchange(x) + hwtrace::EncodeNote(note);
  const hwtrace::Trace trace = hwtrace::ParseTrace(text);
  ASSERT_EQ(trace.exchanges.size(), 1u);
  const Exchange &y = trace.exchanges[0];
  EXPECT_TRUE(hwtrace::SameExchange(x, y));
  EXPECT_EQ(y.seq, 7u);
  EXPECT_EQ(y.pid, 4711u);
  EXPECT_EQ(y.start_us, 1765375200123456u);
  EXPECT_EQ(y.duration_us, 42u);
  EXPECT_EQ(y.param.data, (std::vector<uint8_t>{0x08, 0x01, 0, 0, 4, 0}));
  EXPECT_EQ(y.line, 2u);
  ASSERT_EQ(trace.notes.size(), 1u);
  EXPECT_EQ(trace.notes[0].text, "a \"quoted\" path C:\\x and a byte \xC3\xA9");  // bytes above 0x7F as U+00XX
  EXPECT_TRUE(trace.warning.empty());
}

// A call the spy's guard kept from the board is marked; a record without the mark (every
// writer before the guard) reads as not guarded, and a mark that is not true/false is refused.
TEST(TraceFormat, TheGuardedMarkIsWrittenOnlyWhenSetAndReadBack) {
  Exchange x = ReadMemory(0x0108, {1, 2, 3, 4});
  EXPECT_EQ(hwtrace::EncodeExchange(x).find("guarded"), std::string::npos);
  x.guarded = true;
  x.result = 0;
  const hwtrace::Trace trace = hwtrace::ParseTrace(kHeader + hwtrace::EncodeExchange(x));
  ASSERT_EQ(trace.exchanges.size(), 1u);
  EXPECT_TRUE(trace.exchanges[0].guarded);
  EXPECT_THAT(hwtrace::StatusWords(trace.exchanges[0]), HasSubstr("guarded: not sent to the board"));
  EXPECT_FALSE(hwtrace::ParseTrace(kHeader + hwtrace::EncodeExchange(ReadMemory(8, {1}))).exchanges[0].guarded);
  std::string bad = hwtrace::EncodeExchange(x);
  bad.replace(bad.find("\"guarded\":true"), 14, "\"guarded\":1");
  try {
    hwtrace::ParseTrace(kHeader + bad);
    ADD_FAILURE() << "a guarded mark of 1 was read";
  } catch (const hwtrace::TraceError &e) {
    EXPECT_THAT(e.what(), HasSubstr("\"guarded\" is not true or false"));
  }
}

TEST(TraceFormat, WithheldAndMissingBlocksKeepTheirLengths) {
  Exchange x;
  x.command = 17;
  x.out_length = 16;
  x.out = Block::Redacted(16);
  x.param = Block::Bytes(nullptr, 0);
  x.in_length = 0;
  x.in = Block::Absent();  // the call failed: nothing came in
  x.result = 0;
  const std::string line = hwtrace::EncodeExchange(x);
  EXPECT_THAT(line, HasSubstr(R"("out":{"redacted":16})"));
  EXPECT_THAT(line, HasSubstr(R"("in":null)"));
  EXPECT_THAT(line, HasSubstr(R"("status":null)"));
  const Exchange y = hwtrace::ParseTrace(kHeader + line).exchanges.at(0);
  EXPECT_TRUE(y.out.redacted());
  EXPECT_EQ(y.out.length, 16u);
  EXPECT_FALSE(y.in.present());
  EXPECT_FALSE(y.status.has_value());
}

// A call that the spy's guard kept from the board: marked in its record (and its writer's
// header); without the mark the record is the "no exchange" that the caller saw, which is
// what a reader of format 1.0 makes of it.
TEST(TraceFormat, AGuardedExchangeIsMarkedAndOtherwiseANoExchange) {
  Exchange x;
  x.command = 22;
  const uint8_t block[6] = {1, 0, 0, 0, 2, 0};
  x.entry = hwtrace::kEntryTransferEx;
  x.param_length = 6;
  x.param = Block::Bytes(block, 6);
  x.out_length = 2;
  x.out = Block::Bytes(block, 2);
  x.aux = 0;
  x.guarded = true;
  hwtrace::Header header;
  header.writer = "hwlink-spy test";
  header.source = "spy";
  header.guard = "read-only";
  const std::string line = hwtrace::EncodeExchange(x);
  EXPECT_THAT(line, HasSubstr(R"("result":0,"guarded":true})"));
  const hwtrace::Trace trace = hwtrace::ParseTrace(hwtrace::EncodeHeader(header) + line);
  EXPECT_THAT(hwtrace::EncodeHeader(header), HasSubstr(R"("version":"1.1")"));
  EXPECT_EQ(trace.headers.at(0).guard, "read-only");
  const Exchange &y = trace.exchanges.at(0);
  EXPECT_TRUE(y.guarded);
  EXPECT_TRUE(hwtrace::SameExchange(x, y));

  std::string unmarked = line;
  unmarked.erase(unmarked.find(",\"guarded\":true"), 15);
  const Exchange z = hwtrace::ParseTrace(kHeader + unmarked).exchanges.at(0);
  EXPECT_FALSE(z.guarded);
  EXPECT_FALSE(z.succeeded());
  EXPECT_FALSE(z.status.has_value());
  EXPECT_TRUE(hwtrace::SameRequest(y, z));
  EXPECT_FALSE(hwtrace::SameAnswer(y, z));  // kept from the board is not the same as a failed transport
  EXPECT_THAT(hwtrace::Differences(y, z), HasSubstr("guarded (not sent to the board), came sent"));
  EXPECT_EQ(hwtrace::StatusWords(y),
            "guarded: not sent to the board (the spy lets only reads through), answered \"no exchange\"");
  EXPECT_EQ(hwtrace::EncodeExchange(z).find("guarded"), std::string::npos);  // unguarded records as before
  EXPECT_TRUE(hwtrace::ParseTrace(kHeader).headers.at(0).guard.empty());
}

// Every hostile input is refused with a message naming the line, never a crash.
TEST(TraceFormat, HostileInputIsRefusedWithTheLineAndTheReason) {
  const std::string good = hwtrace::EncodeExchange(ReadMemory(3, {1, 2}));
  auto with = [&good](const std::string &from, const std::string &to) {
    std::string line = good;
    const size_t at = line.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return line.replace(at, from.size(), to);
  };
  const struct {
    const char *name;
    std::string text;
    const char *message;
  } cases[] = {
      {"empty file", "", "empty"},
      {"no header", good, "does not begin with a header"},
      {"binary garbage", std::string("\x00\xFF\x13\x37garbage\n", 12), "not a board trace"},
      {"another format", R"({"type":"header","format":"other","version":"1.0","writer":"w","source":"s","pid":1,"start_us":1})" "\n",
       "format is not hwlink-trace"},
      {"newer major version", R"({"type":"header","format":"hwlink-trace","version":"2.0","writer":"w","source":"s","pid":1,"start_us":1})" "\n",
       "newer than this reader knows"},
      {"version not a number", R"({"type":"header","format":"hwlink-trace","version":"one","writer":"w","source":"s","pid":1,"start_us":1})" "\n",
       "MAJOR.MINOR"},
      {"truncated line in the middle", kHeader + good.substr(0, 40) + "\n" + good, "line 2: not a JSON object"},
      {"string for a number", kHeader + with("\"command\":21", "\"command\":\"21\""), "\"command\" is not a whole number"},
      {"negative number", kHeader + with("\"seq\":7", "\"seq\":-7"), "\"seq\" is not a whole number"},
      {"fraction", kHeader + with("\"seq\":7", "\"seq\":7.5"), "\"seq\" is not a whole number"},
      {"huge number", kHeader + with("\"seq\":7", "\"seq\":123456789012345678901234567890"), "\"seq\" is not a whole number"},
      {"command above 255", kHeader + with("\"command\":21", "\"command\":256"), "more than 255"},
      {"unknown entry point", kHeader + with("\"entry\":1002", "\"entry\":1001"), "neither 1000 nor 1002"},
      {"8-bit entry with a 16-bit length", kHeader + with("\"entry\":1002,", "\"entry\":1000,").replace(
                                                              good.find("\"in_length\":2"), 13, "\"in_length\":256"),
       "\"in_length\" is 256, more than 255"},
      {"hex shorter than its length", kHeader + with("\"in\":\"0102\"", "\"in\":\"01\""), "holds 1 bytes where its length says 2"},
      {"not hex", kHeader + with("\"in\":\"0102\"", "\"in\":\"01zz\""), "is not hex"},
      {"wrong redacted length", kHeader + with("\"in\":\"0102\"", "\"in\":{\"redacted\":3}"), "{\"redacted\":2}"},
      {"array for a block", kHeader + with("\"in\":\"0102\"", "\"in\":[1,2]"), "neither hex bytes"},
      {"missing field", kHeader + with(",\"aux\":0", ""), "\"aux\" is missing"},
      {"a JSON array line", kHeader + "[1,2,3]\n", "not a JSON object"},
      {"guarded not a boolean", kHeader + with("\"result\":1", "\"result\":0,\"guarded\":\"yes\""),
       "\"guarded\" is not true or false"},
      {"guarded and answered", kHeader + with("\"result\":1", "\"result\":1,\"guarded\":true"),
       "a guarded exchange never reached the board"},
      {"guard not a text", R"({"type":"header","format":"hwlink-trace","version":"1.1","writer":"w","source":"s","guard":1,"pid":1,"start_us":1})" "\n",
       "\"guard\" is not a text"},
      {"deeply nested", kHeader + std::string(100000, '[') + "\n", "not a JSON object"},
  };
  for (const auto &c : cases) {
    try {
      hwtrace::ParseTrace(c.text);
      ADD_FAILURE() << c.name << ": accepted";
    } catch (const hwtrace::TraceError &e) {
      EXPECT_THAT(e.what(), HasSubstr(c.message)) << c.name;
    }
  }
}

TEST(TraceFormat, AnIncompleteLastRecordIsLeftOutWithAWarning) {
  const std::string whole = kHeader + hwtrace::EncodeExchange(ReadMemory(3, {1, 2}));
  const std::string cut = hwtrace::EncodeExchange(ReadMemory(4, {1, 2})).substr(0, 50);
  const hwtrace::Trace trace = hwtrace::ParseTrace(whole + cut);
  EXPECT_EQ(trace.exchanges.size(), 1u);
  EXPECT_THAT(trace.warning, HasSubstr("line 3 is an incomplete record"));
}

TEST(TraceFormat, SessionsOfSeveralProcessesAndUnknownRecordTypesAreRead) {
  const std::string text = kHeader + hwtrace::EncodeExchange(ReadMemory(3, {1})) + "{\"type\":\"later\",\"x\":1}\n" +
                           kHeader + hwtrace::EncodeExchange(ReadMemory(4, {2}));
  const hwtrace::Trace trace = hwtrace::ParseTrace(text);
  EXPECT_EQ(trace.headers.size(), 2u);
  EXPECT_EQ(trace.exchanges.size(), 2u);
}

// Which blocks are withheld: logon and password blocks always; page data of pages that may
// hold user records, all pages from 8 on until an information block has been seen.
TEST(Redaction, SecretBlocksFollowTheUserPagesOfTheLastInformationBlock) {
  hwtrace::UserPages pages;
  auto page_block = [](uint16_t page) {
    static uint8_t block[6];
    block[0] = static_cast<uint8_t>(page);
    block[1] = static_cast<uint8_t>(page >> 8);
    return block;
  };
  EXPECT_TRUE(hwtrace::SecretBlocks(17, 0, nullptr, pages).out);
  EXPECT_TRUE(hwtrace::SecretBlocks(19, 0, nullptr, pages).out);
  EXPECT_FALSE(hwtrace::SecretBlocks(20, 2, page_block(0), pages).out);
  EXPECT_FALSE(hwtrace::SecretBlocks(21, 6, page_block(7), pages).in);
  EXPECT_TRUE(hwtrace::SecretBlocks(21, 6, page_block(8), pages).in);
  EXPECT_TRUE(hwtrace::SecretBlocks(22, 6, page_block(60000), pages).out);
  EXPECT_TRUE(hwtrace::SecretBlocks(21, 0, nullptr, pages).in);  // no page number: any page

  uint8_t info[51] = {};
  info[16] = 4;  // UserCount 4: users in pages 8-11
  pages.Learn(16, true, info, sizeof info);
  EXPECT_TRUE(hwtrace::SecretBlocks(21, 6, page_block(11), pages).in);
  EXPECT_FALSE(hwtrace::SecretBlocks(21, 6, page_block(12), pages).in);
  EXPECT_TRUE(hwtrace::SecretBlocks(22, 6, page_block(8), pages).out);
  EXPECT_EQ(pages.UserOfPage(11), 4);
  EXPECT_EQ(pages.UserOfPage(12), 0);
  pages.Learn(16, false, info, sizeof info);  // a failed read teaches nothing
  EXPECT_FALSE(hwtrace::SecretBlocks(21, 6, page_block(12), pages).in);
}

TEST(Comparison, TimesAndProcessesAsideAndAWithheldBlockMatchesAnyOfItsLength) {
  Exchange a = ReadMemory(9, {1, 2, 3});
  Exchange b = a;
  b.seq = 99;
  b.pid = 1;
  b.start_us = 0;
  b.duration_us = 12345;
  EXPECT_TRUE(hwtrace::SameExchange(a, b));
  b.in = Block::Redacted(3);
  EXPECT_TRUE(hwtrace::SameExchange(a, b));
  b.in = Block::Redacted(2);
  EXPECT_FALSE(hwtrace::SameAnswer(a, b));
  b = a;
  b.in.data[2] = 4;
  EXPECT_TRUE(hwtrace::SameRequest(a, b));
  EXPECT_FALSE(hwtrace::SameAnswer(a, b));
  EXPECT_THAT(hwtrace::Differences(a, b), HasSubstr("first at byte 2: 03, came 04"));
  b = a;
  b.param.data[0] = 10;
  EXPECT_FALSE(hwtrace::SameRequest(a, b));
  b = a;
  b.entry = hwtrace::kEntryTransfer;
  EXPECT_FALSE(hwtrace::SameRequest(a, b));
}

TEST(Decoding, CommandsReadInTheBoardsTerms) {
  hwtrace::UserPages pages;
  uint8_t info[51] = {};
  info[16] = 32;
  pages.Learn(16, true, info, sizeof info);
  EXPECT_EQ(hwtrace::Describe(ReadMemory(0x0108, std::vector<uint8_t>(256)), pages),
            "read memory [21] page 264, offset 0, 256 bytes -> success");
  EXPECT_EQ(hwtrace::CommandWords(ReadMemory(8, {}), pages), "page 8 (user 1), offset 0, 0 bytes");

  Exchange clock;
  clock.command = 28;
  const uint8_t block[6] = {0x05, 0x30, 0x14, 0x31, 0x12, 0x24};
  clock.param_length = 6;
  clock.param = Block::Bytes(block, 6);
  clock.result = 1;
  clock.status = 0;
  EXPECT_EQ(hwtrace::CommandName(clock), "set clock");
  EXPECT_EQ(hwtrace::CommandWords(clock, pages), "to 2024-12-31 14:30:05");

  Exchange login;
  login.command = 17;
  login.out_length = 16;
  login.result = 1;
  login.status = 0x60;
  EXPECT_EQ(hwtrace::StatusWords(login), "board status 96 (0x60): logon refused");
  login.result = 0x100;  // only the low byte counts
  EXPECT_EQ(hwtrace::StatusWords(login), "no exchange (the transport call failed)");
}

// The spy's settings: the environment wins over the file beside the spy; the file's
// relative trace lies beside the file; wrong settings are named and left out.
TEST(SpySettings, EnvironmentWinsOverTheFileBesideTheSpy) {
  std::map<std::string, std::string> environment;
  auto lookup = [&environment](const char *name) -> const char * {
    const auto it = environment.find(name);
    return it == environment.end() ? nullptr : it->second.c_str();
  };
  const std::string folder = "/opt/spy";

  spy::Settings s = spy::ResolveSettings(lookup, nullptr, folder);
  EXPECT_EQ(s.target, spy::kDefaultTargetName);
  EXPECT_EQ(s.target_origin, "default");
  EXPECT_EQ(s.trace, spy::JoinPath(folder, "hwlink-trace.jsonl"));
  EXPECT_FALSE(s.keep_secrets);

  const std::string file = "# site settings\n target = /srv/real/libhwlink32.so \ntrace=session.jsonl\nsecrets = keep\n"
                           "colour = blue\nno equals sign\n";
  s = spy::ResolveSettings(lookup, &file, folder);
  EXPECT_EQ(s.target, "/srv/real/libhwlink32.so");
  EXPECT_EQ(s.target_origin, "hwlink-spy.conf");
  EXPECT_EQ(s.trace, spy::JoinPath(folder, "session.jsonl"));
  EXPECT_TRUE(s.keep_secrets);
  ASSERT_EQ(s.problems.size(), 2u);
  EXPECT_THAT(s.problems[0], HasSubstr("line 5: unknown setting \"colour\""));
  EXPECT_THAT(s.problems[1], HasSubstr("line 6 is not \"setting = value\""));

  environment = {{"HWLINK_SPY_TARGET", "real.so"}, {"HWLINK_SPY_TRACE", "here.jsonl"}, {"HWLINK_SPY_SECRETS", "maybe"}};
  s = spy::ResolveSettings(lookup, &file, folder);
  EXPECT_EQ(s.target, "real.so");
  EXPECT_EQ(s.target_origin, "HWLINK_SPY_TARGET");
  EXPECT_EQ(s.trace, "here.jsonl");
  EXPECT_FALSE(s.keep_secrets);  // not "keep": withheld, and said
  EXPECT_THAT(s.problems.back(), HasSubstr("neither \"keep\" nor \"withhold\""));
}

// The guard: off unless asked for; on when the file or the environment asks for it, and
// nothing lowers what the file asks for; a value that is neither "read-only" nor "off" guards
// all the same, and says so.
TEST(SpySettings, TheGuardIsOnWhenAskedAndAMisspeltGuardStillGuards) {
  struct Case {
    const char *environment;  // HWLINK_SPY_GUARD, or null
    const char *file;         // hwlink-spy.conf
    bool read_only;
    bool problem;
  };
  for (const Case &c : {Case{nullptr, "", false, false}, Case{nullptr, "guard = read-only\n", true, false},
                        Case{"read-only", "", true, false}, Case{"off", "guard = read-only\n", true, true},
                        Case{"read-only", "guard = off\n", true, false}, Case{"off", "guard = off\n", false, false},
                        Case{"readonly", "", true, true}, Case{nullptr, "guard = yes please\n", true, true}}) {
    SCOPED_TRACE(std::string(c.environment ? c.environment : "(unset)") + " / " + c.file);
    const std::string file = c.file;
    const spy::Settings s = spy::ResolveSettings(
        [&c](const char *name) { return std::string(name) == "HWLINK_SPY_GUARD" ? c.environment : nullptr; }, &file,
        "/opt/spy");
    EXPECT_EQ(s.read_only, c.read_only);
    EXPECT_EQ(s.problems.size(), c.problem ? 1u : 0u);
    if (c.problem) {
      EXPECT_THAT(s.problems[0], HasSubstr("the guard is on (read-only)"));
    }
  }
}

// Settings files that someone wrote carelessly, or that someone wants to slip a write past
// the guard with: each keeps the guard on, names the file, the line and the cause, and says
// why the guard is on. Setting names are matched without regard to case, and a byte-order
// mark is not part of the first setting's name.
TEST(SpySettings, AFileTheSpyCannotReadWholeKeepsTheGuardOn) {
  const std::string path = spy::JoinPath("/opt/prog", "hwlink-spy.conf");
  struct Case {
    const char *name;
    const char *environment;  // HWLINK_SPY_GUARD, or null
    const char *file;         // null: the file exists and cannot be read
    const char *problem;      // "" when nothing is wrong
    const char *reason;       // in guard_reason
  };
  const Case cases[] = {
      {"capitalised", nullptr, "Guard = read-only\n", "", "guard = read-only in "},
      {"upper case", nullptr, "GUARD = read-only\n", "", "guard = read-only in "},
      {"byte-order mark", nullptr, "\xEF\xBB\xBFguard = read-only\r\n", "", "guard = read-only in "},
      {"colon", nullptr, "guard: read-only\n", " line 1 is not \"setting = value\"", " line 1 is not"},
      {"read-only, then off", nullptr, "guard = read-only\nguard = off\n",
       " line 2: guard is set again (first on line 1)", " line 2: guard is set again"},
      {"off, then read-only", nullptr, "# site\nguard = off\n\nguard = read-only\n",
       " line 4: guard is set again (first on line 2)", " line 4: guard is set again"},
      {"unknown setting", nullptr, "target = /srv/real.so\ncolour = blue\n", " line 2: unknown setting \"colour\"",
       " line 2: unknown setting \"colour\""},
      {"guard without a value", nullptr, "guard =\n", " line 1: guard has no value", " line 1: guard has no value"},
      {"secrets misspelt", nullptr, "secrets = maybe\n", " line 1: secrets \"maybe\" is neither",
       "\"maybe\" is not known"},
      {"unreadable", nullptr, nullptr, " cannot be read (Permission denied)", " cannot be read: Permission denied"},
      {"environment off", "off", "guard = read-only\n", "HWLINK_SPY_GUARD=off does not lower the guard",
       "guard = read-only in "},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    spy::ConfigFile config;
    config.path = path;
    config.state = c.file != nullptr ? spy::ConfigFile::State::kRead : spy::ConfigFile::State::kUnreadable;
    config.text = c.file != nullptr ? c.file : "";
    config.error = "Permission denied";
    const spy::Settings s = spy::ResolveSettings(
        [&c](const char *name) { return std::string(name) == "HWLINK_SPY_GUARD" ? c.environment : nullptr; }, config,
        "/opt/prog");
    EXPECT_TRUE(s.read_only);
    EXPECT_THAT(s.guard_reason, HasSubstr(c.reason));
    if (*c.problem == '\0') {
      EXPECT_TRUE(s.problems.empty()) << s.problems[0];
      continue;
    }
    ASSERT_EQ(s.problems.size(), 1u);
    EXPECT_THAT(s.problems[0], HasSubstr(c.problem));
    if (c.environment == nullptr) {
      EXPECT_THAT(s.problems[0], HasSubstr(path));
      EXPECT_THAT(s.problems[0], HasSubstr("the guard is on (read-only)"));
      EXPECT_THAT(s.guard_reason, HasSubstr(path));
    }
  }
}

// The rest of a damaged file applies as it was read, guard on; a setting given twice keeps
// its first value for the transport and the trace, and withholds secrets.
TEST(SpySettings, TheOtherSettingsOfADamagedFileApplyWithTheGuardOn) {
  const auto unset = [](const char *) -> const char * { return nullptr; };
  const std::string file = "target = /srv/first.so\nTrace = t.jsonl\ncolour = blue\ntarget = /srv/second.so\n"
                           "trace = other.jsonl\nsecrets = keep\nSECRETS = keep\n";
  const spy::Settings s = spy::ResolveSettings(unset, &file, "/opt/prog");
  EXPECT_TRUE(s.read_only);
  EXPECT_EQ(s.target, "/srv/first.so");
  EXPECT_EQ(s.trace, spy::JoinPath("/opt/prog", "t.jsonl"));
  EXPECT_FALSE(s.keep_secrets);
  ASSERT_EQ(s.problems.size(), 4u);
  EXPECT_THAT(s.problems[1],
              HasSubstr("line 4: target is set again (first on line 1); the first line's value is taken"));
  EXPECT_THAT(s.problems[3], HasSubstr("line 7: secrets is set again (first on line 6); secrets are withheld"));

  // Nothing asks for the guard: off, and said why.
  const std::string quiet = "guard = off\n";
  EXPECT_EQ(spy::ResolveSettings(unset, &quiet, "/opt/prog").guard_reason,
            "not asked for: guard = off in " + spy::JoinPath("/opt/prog", "hwlink-spy.conf") +
                "; HWLINK_SPY_GUARD is not set");
  EXPECT_FALSE(spy::ResolveSettings(unset, nullptr, "/opt/prog").read_only);
}

// Only the exact shapes in which the library reads pass the guard; the same codes in another
// shape, and every other command, do not.
TEST(Decoding, OnlyTheShapesOfReadsAreBoardReads) {
  const uint8_t read_page[6] = {0x08, 0x01, 0, 0, 0, 1};  // page 0x108, offset 0, 256 bytes
  const uint8_t whole_page[6] = {9, 0, 0, 0, 0, 4};       // page 9, offset 0, 1024 bytes
  const uint8_t no_bytes[6] = {9, 0, 0, 0, 0, 0};         // page 9, offset 0, 0 bytes
  struct Case {
    const char *what;
    uint16_t entry;
    uint8_t command, param_length;
    const uint8_t *param;
    uint16_t out_length, in_length;
    bool reads;
  };
  for (const Case &c : {
           Case{"read information", 1000, 16, 0, nullptr, 0, 51, true},
           Case{"read memory", 1002, 21, 6, read_page, 0, 256, true},
           Case{"read clock", 1000, 28, 0, nullptr, 0, 6, true},
           Case{"read watchdog", 1000, 30, 0, nullptr, 0, 2, true},
           Case{"set clock", 1000, 28, 6, read_page, 0, 0, false},
           Case{"set watchdog", 1000, 30, 2, read_page, 0, 0, false},
           Case{"read memory whose count is not its length", 1002, 21, 6, read_page, 0, 255, false},
           Case{"read memory through entry 1000", 1000, 21, 6, read_page, 0, 256, false},
           Case{"read memory with outgoing bytes", 1002, 21, 6, read_page, 1, 256, false},
           Case{"read memory without its address block", 1002, 21, 6, nullptr, 0, 256, false},
           Case{"read information of another length", 1000, 16, 0, nullptr, 0, 50, false},
           Case{"write memory", 1002, 22, 6, read_page, 256, 0, false},
           Case{"user XID", 1000, 27, 2, read_page, 2, 4, false},
           Case{"log on", 1000, 17, 0, nullptr, 16, 0, false},
           Case{"log off", 1000, 18, 0, nullptr, 0, 0, false},
           Case{"format: init pages", 1000, 23, 0, nullptr, 0, 0, false},
           Case{"append log", 1002, 20, 2, read_page, 2, 0, false},
           Case{"device access", 1000, 6, 1, read_page, 0, 0, false},
           Case{"read memory of a whole 1024-byte page", 1002, 21, 6, whole_page, 0, 1024, true},
           Case{"read memory of no bytes", 1002, 21, 6, no_bytes, 0, 0, false},
           Case{"read memory asking more than its block counts", 1002, 21, 6, read_page, 0, 257, false},
           Case{"read memory with a 5-byte block", 1002, 21, 5, read_page, 0, 256, false},
           Case{"read information through 1002", 1002, 16, 0, nullptr, 0, 51, false},
           Case{"read information with parameters", 1000, 16, 1, read_page, 0, 51, false},
           Case{"read information sending a byte", 1000, 16, 0, nullptr, 1, 51, false},
           Case{"read clock of 7 bytes", 1000, 28, 0, nullptr, 0, 7, false},
           Case{"read clock through 1002", 1002, 28, 0, nullptr, 0, 6, false},
           Case{"clock with a block both ways", 1000, 28, 6, read_page, 0, 6, false},
           Case{"watchdog with a block both ways", 1000, 30, 2, read_page, 0, 2, false},
           Case{"read watchdog sending data", 1000, 30, 0, nullptr, 2, 2, false},
           Case{"IA result", 1000, 13, 2, read_page, 4, 0, false},
           Case{"change password", 1000, 19, 0, nullptr, 16, 0, false},
           Case{"clear log", 1000, 24, 0, nullptr, 0, 0, false},
           Case{"connect database", 1000, 25, 0, nullptr, 0, 0, false},
           Case{"a command the library does not send", 1000, 99, 0, nullptr, 0, 4, false},
       }) {
    EXPECT_EQ(hwtrace::IsBoardRead(c.entry, c.command, c.param_length, c.param, c.out_length, c.in_length), c.reads)
        << c.what;
  }
}

TEST(SpySettings, ATargetIsAFullPathOrABareName) {
  EXPECT_TRUE(spy::IsBareName("libhwlink32-real.so"));
  EXPECT_FALSE(spy::IsBareName("lib/libhwlink32.so"));
  EXPECT_FALSE(spy::IsBareName(".."));
  EXPECT_FALSE(spy::IsFullPath("lib/libhwlink32.so"));
  EXPECT_TRUE(spy::IsFullPath("/usr/lib/libhwlink32.so"));
#ifdef _WIN32
  EXPECT_TRUE(spy::IsFullPath("C:\\board\\HWLINK32.DLL"));
  EXPECT_TRUE(spy::IsFullPath("\\\\server\\share\\HWLINK32.DLL"));
  EXPECT_FALSE(spy::IsBareName("sub\\HWLINK32.DLL"));
  EXPECT_FALSE(spy::IsBareName("C:HWLINK32.DLL"));
#endif
}

}  // namespace
