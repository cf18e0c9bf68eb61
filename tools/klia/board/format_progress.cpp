// klia format's run of the library's formatting, with the progress shown as it comes.
#include "board/format_progress.h"

#include <chrono>
#include <cstdlib>
#include <string_view>

#include "library/board_failure.h"
#include "platform/platform.h"
#include "shell/errors.h"
#include "mviahlp.h"
#include "shell/process.h"

namespace klia {
namespace {

using Clock = std::chrono::steady_clock;

// How often the live line is redrawn at most.
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

// The progress procedure has no argument of its own for the caller, so where it writes is
// kept here for the duration of one format.
struct ProgressSink {
  std::FILE *stream = nullptr;
  std::string indent;
  bool terminal = false;
  bool at_line_start = true;
  bool live_line_shown = false;  // the cursor is at the end of the live line
  size_t live_line_length = 0;
  std::string held_page;         // off a terminal: the last page message, not yet written
  Clock::time_point start;
  Clock::time_point last_draw;
  unsigned long first_page = 0;  // the first page seen, for the rate
};
ProgressSink g_sink;

void Write(const std::string &text) {
  std::fwrite(text.data(), 1, text.size(), g_sink.stream);
  std::fflush(g_sink.stream);
}

// Writes lines: CR LF and a lone LF end a line with a plain newline, a lone CR is dropped, and
// every line starts with the indent.
void WriteLines(const std::string &text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r') continue;
    if (c != '\n' && g_sink.at_line_start) {
      out += g_sink.indent;
      g_sink.at_line_start = false;
    }
    if (c == '\n') {
      // The first message begins with an empty line; a list of stages needs none.
      if (g_sink.at_line_start && out.empty() && !g_sink.live_line_shown) continue;
      g_sink.at_line_start = true;
    }
    out += c;
  }
  Write(out);
}

// A page message is CR, "  <page word>: N <of> M ": it begins with a lone carriage return.
bool IsPageMessage(const std::string &text) { return text.size() >= 2 && text[0] == '\r' && text[1] != '\n'; }

// The two numbers of a page message.
bool PageNumbers(const std::string &text, unsigned long &page, unsigned long &count) {
  const char *p = text.c_str();
  unsigned long numbers[2];
  int found = 0;
  while (*p != '\0' && found < 2) {
    if (*p >= '0' && *p <= '9') {
      char *end = nullptr;
      numbers[found++] = std::strtoul(p, &end, 10);
      p = end;
    } else {
      ++p;
    }
  }
  if (found != 2) return false;
  page = numbers[0];
  count = numbers[1];
  return true;
}

std::string Duration(double seconds) {
  const long s = static_cast<long>(seconds + 0.5);
  if (s >= 3600) return std::to_string(s / 3600) + " h " + std::to_string(s % 3600 / 60) + " min";
  if (s >= 60) return std::to_string(s / 60) + " min " + std::to_string(s % 60) + " s";
  return std::to_string(s) + " s";
}

void DrawLiveLine(const std::string &text, bool force) {
  const Clock::time_point now = Clock::now();
  unsigned long page = 0, count = 0;
  if (!PageNumbers(text, page, count) || count == 0) return;
  if (!g_sink.live_line_shown) {
    g_sink.start = now;
    g_sink.first_page = page;
  }
  if (!force && g_sink.live_line_shown && now - g_sink.last_draw < kRedrawInterval && page != count) return;
  g_sink.last_draw = now;
  std::string line = "\r" + g_sink.indent + text.substr(1);
  const unsigned long percent = page * 100 / count;
  line += " " + std::to_string(percent) + "%";
  const double elapsed = std::chrono::duration<double>(now - g_sink.start).count();
  const unsigned long done = page - g_sink.first_page;
  if (elapsed >= 0.5 && done > 0) {
    const double rate = done / elapsed;
    line += ", " + std::to_string(static_cast<unsigned long>(rate)) + " pages/s, " +
            Duration((count - page) / rate) + " left";
  }
  line += ' ';
  // Spaces clear what a longer line before left.
  const size_t length = line.size();
  if (length < g_sink.live_line_length) line.append(g_sink.live_line_length - length, ' ');
  g_sink.live_line_length = length;
  Write(line);
  g_sink.live_line_shown = true;
  g_sink.at_line_start = false;
}

void KLIA_CALL ShowProgress(const uint8_t *message) {
  if (message == nullptr || g_sink.stream == nullptr) return;
  const std::string_view bytes(reinterpret_cast<const char *>(message + 1), message[0]);
  const std::string text = Cp866ToTerminal(bytes);
  if (IsPageMessage(text)) {
    if (g_sink.terminal) {
      DrawLiveLine(text, false);
    } else {
      g_sink.held_page = text;
    }
    return;
  }
  if (!g_sink.held_page.empty()) {
    // The page test's last page message, and what follows it on its line ("OK").
    WriteLines("\n" + g_sink.held_page.substr(1));
    g_sink.held_page.clear();
  }
  WriteLines(text);
  g_sink.live_line_shown = false;
}

}  // namespace

void FormatBoard(uint16_t check_word, std::FILE *stream, const std::string &indent) {
  g_sink = ProgressSink{};
  g_sink.stream = stream;
  g_sink.indent = indent;
  g_sink.terminal = stream != nullptr && IsTerminal(stream);
  uint32_t result;
  {
    const InterruptGuard guard("interrupted: the board is not formatted; run klia format again");
    result = KLIAFormatDatabase(check_word, stream != nullptr ? &ShowProgress : nullptr);
  }
  if (!g_sink.held_page.empty()) WriteLines("\n" + g_sink.held_page.substr(1));
  // A failure can leave the cursor after a page message.
  if (stream != nullptr && !g_sink.at_line_start) Write("\n");
  g_sink.stream = nullptr;
  Require(result, "KLIAFormatDatabase", Succeeded(result) ? "" : "the progress messages above show the stage that failed");
}

}  // namespace klia
