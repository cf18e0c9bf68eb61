#include "shell/output.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace klia {
namespace {

bool g_json = false;
std::vector<std::string> g_notices;  // with --json, kept for the last object on standard error

// While the transport's messages are collected: descriptor 2 is the private file
// g_collected; klia's own standard error is g_own (a copy of the descriptor it was given)
// and g_own_stream on it. g_carried bytes of the file have gone into an object already.
volatile std::sig_atomic_t g_collecting = 0;
int g_collected = -1;
int g_own = -1;
std::FILE *g_own_stream = nullptr;
volatile long long g_carried = 0;

std::string Dump(const nlohmann::json &json) {
  return json.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

void Write(std::FILE *stream, const std::string &text) {
  if (stream == nullptr) return;
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

// A text ending in a zero, to a descriptor; may be called from a signal handler.
void WriteAll(int fd, const char *text) {
  size_t size = 0;
  while (text[size] != '\0') ++size;
  WriteToDescriptor(fd, text, size);
}

// Writes the collected bytes from g_carried on as the elements of a JSON array of strings,
// one a line, and returns where they end. May run in a signal handler: no allocation.
long long WriteMessagesAsJson(int fd) {
  char in[512];
  char out[2048];
  size_t used = 0;
  auto put = [&](const char *text, size_t size) {
    if (used + size > sizeof out) {
      WriteToDescriptor(fd, out, used);
      used = 0;
    }
    for (size_t i = 0; i < size; ++i) out[used++] = text[i];
  };
  bool first = true, open = false;
  long long at = g_carried;
  for (long long n; (n = ReadDescriptorAt(g_collected, at, in, sizeof in)) > 0; at += n) {
    for (long long i = 0; i < n; ++i) {
      const unsigned char c = static_cast<unsigned char>(in[i]);
      if (c == '\r') continue;
      if (c == '\n') {
        put(open ? "\"" : first ? "\"\"" : ",\"\"", open ? 1 : first ? 2 : 3);
        open = false;
        first = false;
        continue;
      }
      if (!open) {
        put(first ? "\"" : ",\"", first ? 1 : 2);
        open = true;
        first = false;
      }
      if (c == '"' || c == '\\') {
        const char escaped[2] = {'\\', static_cast<char>(c)};
        put(escaped, 2);
      } else if (c < 0x20) {
        const char *hex = "0123456789abcdef";
        const char escaped[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 15]};
        put(escaped, 6);
      } else {
        const char plain = static_cast<char>(c);
        put(&plain, 1);
      }
    }
  }
  if (open) put("\"", 1);
  WriteToDescriptor(fd, out, used);
  return at;
}

bool HasUncarriedMessages() {
  char byte;
  return g_collecting != 0 && ReadDescriptorAt(g_collected, g_carried, &byte, 1) == 1;
}

// The collected lines not yet carried, which from now on count as carried.
std::vector<std::string> TakeTransportMessages() {
  std::vector<std::string> lines = TransportMessagesSoFar();
  if (g_collected < 0) return lines;
  char buffer[4096];
  long long at = g_carried;
  for (long long n; (n = ReadDescriptorAt(g_collected, at, buffer, sizeof buffer)) > 0;) at += n;
  g_carried = at;
  return lines;
}

// The notices and the transport's messages not yet carried, added to `object`.
void Carry(nlohmann::json &object) {
  if (!object.is_object()) return;
  if (!g_notices.empty()) object["notices"] = g_notices;
  g_notices.clear();
  if (std::vector<std::string> lines = TakeTransportMessages(); !lines.empty()) object["transport_messages"] = lines;
}

// A signal that would end klia silently: what the transport said is written first, then the
// signal ends klia as it would have.
void WriteTransportMessagesLast() { WriteFromSignalHandler(nullptr, 0); }

}  // namespace

void SetJsonOutput(bool json) { g_json = json; }
bool JsonOutput() { return g_json; }

void PrintText(const std::string &text) { Write(stdout, text); }

void PrintJson(const nlohmann::json &json) { Write(stdout, Dump(json)); }

void Emit(const std::string &text, const nlohmann::json &json) {
  if (g_json) {
    PrintJson(json);
  } else {
    PrintText(text);
  }
}

void Notice(const std::string &text) {
  if (g_json) {
    g_notices.push_back(text);
    return;
  }
  std::fflush(stdout);
  Write(stderr, "klia: " + text + "\n");
}

void PrintJsonError(const nlohmann::json &json) {
  std::fflush(stdout);
  nlohmann::json object = json;
  Carry(object);
  Write(OwnStandardError(), Dump(object));
}

void FinishOutput() {
  std::fflush(stdout);
  if (g_collecting != 0) {
    // Descriptor 2 is klia's standard error again first, so that no line falls between.
    std::fflush(stderr);
    PutBackStandardError(g_own);
  }
  nlohmann::json object = nlohmann::json::object();
  Carry(object);
  g_collecting = 0;
  if (!object.empty()) Write(g_own_stream != nullptr ? g_own_stream : stderr, Dump(object));
}

void CollectTransportMessages() {
  if (!g_json || g_collecting != 0 || g_collected >= 0) return;
  // Descriptor 2 is pointed at a file no one else finds, gone however klia ends.
  const int file = OpenUnnamedTemporaryFile();
  if (file < 0) return;  // nothing collected: the lines reach standard error as before
  std::fflush(stderr);
  const StandardErrorMoved moved = MoveStandardErrorTo(file);
  if (!moved.moved) return;
  g_own_stream = moved.own_stream;
  if (g_own_stream != nullptr) std::setvbuf(g_own_stream, nullptr, _IONBF, 0);
  g_own = moved.own;
  g_collected = file;
  g_collecting = 1;
  RunBeforeEndingSignals(WriteTransportMessagesLast);
  // A library that calls exit() while it loads or later ends klia without main's last word.
  std::atexit(FinishOutput);
}

std::vector<std::string> TransportMessagesSoFar() {
  std::vector<std::string> lines;
  if (g_collected < 0) return lines;
  std::string text;
  char buffer[4096];
  long long at = g_carried;
  for (long long n; (n = ReadDescriptorAt(g_collected, at, buffer, sizeof buffer)) > 0; at += n) {
    text.append(buffer, static_cast<size_t>(n));
  }
  for (size_t begin = 0; begin < text.size();) {
    const size_t end = std::min(text.find('\n', begin), text.size());
    std::string line = text.substr(begin, end - begin);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    begin = end + 1;
  }
  return lines;
}

std::string TransportMessageSaysWhy() {
  if (!g_json || g_collected < 0) return "its message above says why";
  return TransportMessagesSoFar().empty() ? "it wrote no message saying why" : kTransportMessagesInObject;
}

std::FILE *OwnStandardError() { return g_collecting != 0 ? g_own_stream : stderr; }

void WriteFromSignalHandler(const char *text, std::size_t size) {
  const int fd = g_collecting != 0 ? g_own : 2;
  if (fd < 0) return;
  if (!HasUncarriedMessages()) {
    if (text != nullptr) WriteToDescriptor(fd, text, size);
    return;
  }
  if (text != nullptr && size >= 3 && text[0] == '{' && text[size - 2] == '}' && text[size - 1] == '\n') {
    WriteToDescriptor(fd, text, size - 2);
    WriteAll(fd, ",\"transport_messages\":[");
  } else {
    if (text != nullptr) WriteToDescriptor(fd, text, size);
    WriteAll(fd, "{\"transport_messages\":[");
  }
  g_carried = WriteMessagesAsJson(fd);
  WriteAll(fd, "]}\n");
}

}  // namespace klia
