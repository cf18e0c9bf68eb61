#include "platform/cp866.h"

#include <cstdio>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>

#include <cstdlib>
#else
#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <clocale>
#include <cstring>
#endif

namespace klia {
namespace {

constexpr unsigned kBoardCodePage = 866;

std::string Escaped(std::string_view bytes) {
  std::string text;
  char piece[8];
  for (unsigned char c : bytes) {
    if (c < 0x80) {
      text += static_cast<char>(c);
    } else {
      std::snprintf(piece, sizeof piece, "\\x%02X", c);
      text += piece;
    }
  }
  return text;
}

#ifdef _WIN32

UINT g_console_code_page = 0;  // the console's own, put back at exit

void RestoreConsoleCodePage() {
  if (g_console_code_page != 0) SetConsoleOutputCP(g_console_code_page);
}

std::optional<std::string> Convert(std::string_view text, UINT from, UINT to) {
  if (text.empty()) return std::string();
  const DWORD strict = (from == CP_UTF8) ? MB_ERR_INVALID_CHARS : 0;
  const int wide_size = MultiByteToWideChar(from, strict, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (wide_size <= 0) return std::nullopt;
  std::vector<wchar_t> wide(static_cast<size_t>(wide_size));
  MultiByteToWideChar(from, strict, text.data(), static_cast<int>(text.size()), wide.data(), wide_size);
  BOOL lossy = FALSE;
  BOOL *lossy_flag = (to == CP_UTF8 || to == CP_UTF7) ? nullptr : &lossy;
  const int size = WideCharToMultiByte(to, 0, wide.data(), wide_size, nullptr, 0, nullptr, lossy_flag);
  if (size <= 0) return std::nullopt;
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(to, 0, wide.data(), wide_size, out.data(), size, nullptr, lossy_flag);
  if (lossy) return std::nullopt;
  return out;
}

}  // namespace

void InitTerminalEncoding() {
  const UINT console = GetConsoleOutputCP();
  if (console != 0 && console != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
    g_console_code_page = console;
    std::atexit(RestoreConsoleCodePage);
  }
}

std::vector<std::string> CommandLineArguments(int argc, char **argv) {
  std::vector<std::string> arguments;
  int count = 0;
  LPWSTR *wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) {
    for (int i = 0; i < argc; ++i) arguments.emplace_back(argv[i]);
    return arguments;
  }
  for (int i = 0; i < count; ++i) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
    std::string argument(size > 0 ? static_cast<size_t>(size) : 1u, '\0');
    if (size > 0) WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, argument.data(), size, nullptr, nullptr);
    argument.resize(argument.size() - 1);  // the terminating zero
    arguments.push_back(argument);
  }
  LocalFree(wide);
  return arguments;
}

std::string Cp866ToTerminal(std::string_view cp866) {
  auto text = Convert(cp866, kBoardCodePage, CP_UTF8);
  return text ? *text : Escaped(cp866);
}

std::string Cp866ToUtf8(std::string_view cp866) {
  auto text = Convert(cp866, kBoardCodePage, CP_UTF8);
  return text ? *text : Escaped(cp866);
}

std::optional<std::string> TerminalToCp866(std::string_view text) {
  return Convert(text, CP_UTF8, kBoardCodePage);
}

#else  // iconv

std::string g_terminal_encoding = "UTF-8";

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

std::string Cp866ToTerminal(std::string_view cp866) {
  auto text = Convert(cp866, "CP866", g_terminal_encoding.c_str());
  return text ? *text : Escaped(cp866);
}

std::string Cp866ToUtf8(std::string_view cp866) {
  auto text = Convert(cp866, "CP866", "UTF-8");
  return text ? *text : Escaped(cp866);
}

std::optional<std::string> TerminalToCp866(std::string_view text) {
  return Convert(text, g_terminal_encoding.c_str(), "CP866");
}

#endif

#ifdef _WIN32
std::wstring Utf8ToWide(const std::string &text) {
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), length);
  wide.resize(wide.size() - 1);
  return wide;
}

std::string WideToUtf8(const std::wstring &wide) {
  const int length = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return std::string();
  std::string text(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, text.data(), length, nullptr, nullptr);
  text.resize(text.size() - 1);
  return text;
}
#endif

}  // namespace klia
