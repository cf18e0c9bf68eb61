// Text on Windows: code page 866 converted through the Windows code-page functions, the
// console switched to UTF-8 while klia runs, the command line taken in UTF-16, and klia's
// UTF-8 to and from the system's UTF-16.
#include <windows.h>
#include <shellapi.h>

#include <cstdlib>
#include <vector>

#include "platform/platform.h"
#include "platform/text_conversion.h"
#include "platform/windows/wide_text.h"

namespace klia {
namespace {

constexpr UINT kBoardCodePage = 866;

UINT g_console_code_page = 0;  // the console's own, put back at exit

void RestoreConsoleCodePage() {
  if (g_console_code_page != 0) SetConsoleOutputCP(g_console_code_page);
}

// klia writes UTF-8 to the terminal on Windows (InitTerminalEncoding).
UINT CodePage(TextEncoding encoding) { return encoding == TextEncoding::kBoard ? kBoardCodePage : CP_UTF8; }

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

std::optional<std::string> ConvertText(std::string_view text, TextEncoding from, TextEncoding to) {
  return Convert(text, CodePage(from), CodePage(to));
}

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

}  // namespace klia
