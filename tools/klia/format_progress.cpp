#include "format_progress.h"

#include <string_view>

#ifdef _WIN32
#include <io.h>
#define KLIA_ISATTY(f) _isatty(_fileno(f))
#else
#include <unistd.h>
#define KLIA_ISATTY(f) isatty(fileno(f))
#endif

#include "cp866.h"
#include "errors.h"
#include "mviahlp.h"

namespace klia {
namespace {

// The progress procedure has no argument of its own for the caller, so where it writes is
// kept here for the duration of one format.
struct ProgressSink {
  std::FILE *stream = nullptr;
  std::string indent;
  bool at_line_start = true;
  // When false, messages that a console would overwrite (those that begin with a lone
  // carriage return) are held back until the next message, so only the last of a run is
  // written.
  bool terminal = true;
  std::string held;
};
ProgressSink g_sink;

void Write(const std::string &text) {
  std::string out;
  for (char c : text) {
    if (g_sink.at_line_start && c != '\r' && c != '\n') {
      out += g_sink.indent;
      g_sink.at_line_start = false;
    }
    out += c;
    if (c == '\r' || c == '\n') g_sink.at_line_start = true;
  }
  std::fwrite(out.data(), 1, out.size(), g_sink.stream);
  std::fflush(g_sink.stream);
}

bool Overwrites(const std::string &text) { return text.size() >= 2 && text[0] == '\r' && text[1] != '\n'; }

void KLIA_CALL ShowProgress(const uint8_t *message) {
  if (message == nullptr || g_sink.stream == nullptr) return;
  const std::string_view bytes(reinterpret_cast<const char *>(message + 1), message[0]);
  const std::string text = Cp866ToTerminal(bytes);
  if (g_sink.terminal) {
    Write(text);
    return;
  }
  if (Overwrites(text)) {
    g_sink.held = text;
    return;
  }
  if (!g_sink.held.empty()) Write(g_sink.held);
  g_sink.held.clear();
  Write(text);
}

}  // namespace

void FormatBoard(uint16_t check_word, std::FILE *stream, const std::string &indent, bool only_last_page_off_console) {
  g_sink.stream = stream;
  g_sink.indent = indent;
  g_sink.at_line_start = true;
  g_sink.terminal = !only_last_page_off_console || KLIA_ISATTY(stream) != 0;
  g_sink.held.clear();
  const uint32_t result = KLIAFormatDatabase(check_word, &ShowProgress);
  if (!g_sink.held.empty()) Write(g_sink.held);
  g_sink.held.clear();
  // A failure can leave the cursor after a page message.
  if (!g_sink.at_line_start) Write("\n");
  g_sink.stream = nullptr;
  Require(result, "KLIAFormatDatabase", Succeeded(result) ? "" : "the progress messages above show the stage that failed");
}

}  // namespace klia
