// Raw bytes in and out: files, standard input and standard output in binary mode.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace klia {

// Throws UsageError when the file cannot be read or holds more than `limit` bytes.
std::vector<uint8_t> ReadFileBytes(const std::string &path, size_t limit);
std::vector<uint8_t> ReadStandardInput(size_t limit);
// Throws UsageError when the file cannot be written.
void WriteFileBytes(const std::string &path, const std::vector<uint8_t> &data);
void WriteStandardOutput(const std::vector<uint8_t> &data);

}  // namespace klia
