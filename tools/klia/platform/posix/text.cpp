// Text on POSIX systems: code page 866 converted through iconv, the terminal's encoding taken
// from the locale, and the command line as the program was given it.
#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <clocale>
#include <cstring>
#include <vector>

#include "platform/platform.h"
#include "platform/text_conversion.h"

namespace klia {
namespace {

std::string g_terminal_encoding = "UTF-8";

const char *IconvName(TextEncoding encoding) {
  switch (encoding) {
    case TextEncoding::kBoard:
      return "CP866";
    case TextEncoding::kTerminal:
      return g_terminal_encoding.c_str();
    case TextEncoding::kUtf8:
      break;
  }
  return "UTF-8";
}

std::optional<std::string> Convert(std::string_view text, const char *from, const char *to) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out;
  std::vector<char> in(text.begin(), text.end());
  char *in_ptr = in.data();
  size_t in_left = in.size();
  char buffer[256];
  bool ok = true;
  while (in_left > 0) {
    char *out_ptr = buffer;
    size_t out_left = sizeof buffer;
    const size_t done = iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left);
    out.append(buffer, sizeof buffer - out_left);
    if (done == static_cast<size_t>(-1) && errno != E2BIG) {
      ok = false;
      break;
    }
  }
  iconv_close(cd);
  if (!ok) return std::nullopt;
  return out;
}

}  // namespace

std::optional<std::string> ConvertText(std::string_view text, TextEncoding from, TextEncoding to) {
  return Convert(text, IconvName(from), IconvName(to));
}

void InitTerminalEncoding() {
  std::setlocale(LC_CTYPE, "");
  const char *codeset = nl_langinfo(CODESET);
  // The C locale says ASCII, which cannot show Cyrillic at all; terminals in such
  // environments are UTF-8 in practice.
  if (codeset == nullptr || *codeset == '\0' || std::strcmp(codeset, "ANSI_X3.4-1968") == 0) {
    g_terminal_encoding = "UTF-8";
  } else {
    g_terminal_encoding = codeset;
  }
}

std::vector<std::string> CommandLineArguments(int argc, char **argv) { return {argv, argv + argc}; }

}  // namespace klia
