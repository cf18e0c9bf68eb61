#include "board/binary_io.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "shell/errors.h"

namespace klia {
namespace {

std::vector<uint8_t> ReadAll(std::FILE *file, size_t limit, const std::string &what) {
  std::vector<uint8_t> data;
  uint8_t buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    data.insert(data.end(), buffer, buffer + got);
    if (data.size() > limit) throw UsageError(what + " holds more than " + std::to_string(limit) + " bytes");
  }
  if (std::ferror(file)) throw UsageError("cannot read " + what);
  return data;
}

}  // namespace

std::vector<uint8_t> ReadFileBytes(const std::string &path, size_t limit) {
  std::FILE *file = OpenNotInherited(path, "rb");
  if (file == nullptr) throw UsageError("cannot open " + path + " for reading: " + std::strerror(errno));
  try {
    std::vector<uint8_t> data = ReadAll(file, limit, path);
    std::fclose(file);
    return data;
  } catch (...) {
    std::fclose(file);
    throw;
  }
}

std::vector<uint8_t> ReadStandardInput(size_t limit) {
  UseBinaryMode(stdin);
  return ReadAll(stdin, limit, "standard input");
}

void WriteFileBytes(const std::string &path, const std::vector<uint8_t> &data) {
  std::FILE *file = OpenNotInherited(path, "wb");
  if (file == nullptr) throw UsageError("cannot open " + path + " for writing: " + std::strerror(errno));
  const bool written = std::fwrite(data.data(), 1, data.size(), file) == data.size();
  const int write_errno = errno;
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) {
    throw Failure("output", "cannot write " + path + ": " + std::strerror(written ? errno : write_errno));
  }
}

void WriteStandardOutput(const std::vector<uint8_t> &data) {
  std::fflush(stdout);
  UseBinaryMode(stdout);
  std::fwrite(data.data(), 1, data.size(), stdout);
  std::fflush(stdout);
}

}  // namespace klia
