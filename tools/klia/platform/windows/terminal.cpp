// The terminal and the standard streams on Windows: whether a stream is a console, standard
// streams in binary mode, the prompt without echo (the console mode), and the signals that end
// klia with its work tidied up. Descriptors 0-2 need no reserving here, files no close-on-exec
// mode, and a key file no mode check: the C runtime and the file's access list see to those.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <csignal>
#include <cstdio>
#include <iterator>

#include "platform/platform.h"

namespace klia {

void ReserveStandardStreams() {}

bool IsTerminal(std::FILE *stream) { return _isatty(_fileno(stream)) != 0; }

void UseBinaryMode(std::FILE *stream) { _setmode(_fileno(stream), _O_BINARY); }

std::FILE *OpenNotInherited(const std::string &path, const char *mode) { return std::fopen(path.c_str(), mode); }

std::optional<unsigned> ModeOthersMayRead(std::FILE *) { return std::nullopt; }

namespace {

// Windows has no signal for a terminal that went away.
constexpr int kTidyEndingSignals[] = {SIGINT, SIGTERM};
static_assert(std::size(kTidyEndingSignals) <= kMaxTidyEndingSignals);

HANDLE g_console_input = INVALID_HANDLE_VALUE;
DWORD g_saved_mode = 0;

// Ctrl-C and Ctrl-Break come on a thread of their own: the echo is put back, and the
// handlers after this one (by default, the end of klia) do the rest.
BOOL WINAPI RestoreEchoOnControl(DWORD) {
  SetConsoleMode(g_console_input, g_saved_mode);
  return FALSE;
}

// The prompt goes to the console itself, even when standard error is sent elsewhere.
void ShowOnConsole(HANDLE console, const std::string &text) {
  DWORD written = 0;
  if (console == INVALID_HANDLE_VALUE ||
      !WriteFile(console, text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
  }
}

}  // namespace

std::span<const int> TidyEndingSignals() { return kTidyEndingSignals; }

bool IsHangUpSignal(int) { return false; }

bool ReadWithoutEcho(const std::string &prompt, std::string &line, std::size_t longest) {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  const bool console = GetConsoleMode(input, &mode) != 0;
  if (console) {
    g_console_input = input;
    g_saved_mode = mode;
    SetConsoleCtrlHandler(RestoreEchoOnControl, TRUE);
    SetConsoleMode(input, (mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT);
  }
  HANDLE output = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ShowOnConsole(output, prompt);
  line.clear();
  bool ended = false;
  for (;;) {
    char c = 0;
    DWORD got = 0;
    if (!ReadFile(input, &c, 1, &got, nullptr) || got == 0) {
      ended = true;
      break;
    }
    if (c == '\n') break;
    if (c != '\r' && line.size() < longest) line += c;
    c = 0;
  }
  if (console) {
    SetConsoleMode(input, mode);
    SetConsoleCtrlHandler(RestoreEchoOnControl, FALSE);
  }
  // The Enter the person typed was not echoed.
  ShowOnConsole(output, "\n");
  if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
  return !ended || !line.empty();
}

}  // namespace klia
