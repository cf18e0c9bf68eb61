// Helpers of the tests that run programs as separate processes through the shell: files
// read and written whole, words quoted for sh, and what a run left.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace process_helpers {

// What a program run left: its exit code (-1 when it did not exit) and its two output streams.
struct Outcome {
  int exit_code = -1;
  std::string out;
  std::string err;
};

inline std::string ReadFile(const std::filesystem::path &path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

inline void WriteFile(const std::filesystem::path &path, const std::string &bytes) {
  std::ofstream file(path, std::ios::binary);
  file << bytes;
}

// `word` as one sh word, whatever it holds.
inline std::string Quoted(const std::string &word) {
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace process_helpers
