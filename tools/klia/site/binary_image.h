// What klia needs to know of a library or program file before it puts it into a program's
// folder, read from the file's bytes without loading it (nothing in it runs): its format,
// the machine it is built for, whether it is a library, and what it exports.
//
// ELF (natively) and PE (Windows DLLs and programs) are read byte by byte, every offset and
// count checked against the file's size: a truncated or garbage file gives an ImageError
// that says what is wrong, never a read outside the bytes.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>

namespace klia {

class ImageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class ImageFormat { kElf, kPe };

struct BinaryImage {
  ImageFormat format = ImageFormat::kElf;
  uint16_t machine = 0;  // ELF e_machine or PE Machine
  int bits = 0;          // 32 or 64: ELF class, PE32 or PE32+
  bool library = false;  // a shared object (ELF ET_DYN) or a DLL
  // PE: every exported ordinal with its name ("" when it is exported by ordinal only).
  std::map<uint32_t, std::string> ordinals;
  // The names of the exported functions: ELF defined global functions of the dynamic symbol
  // table; PE the named exports.
  std::set<std::string> names;
  // PE: the file version of its version resource ("1.0.0.0"), "" when it has none.
  std::string file_version;
};

// Reads the bytes of an ELF or PE file; without `with_exports` only its headers (format,
// machine, library or program), for which the file's first few kilobytes suffice. Throws
// ImageError.
BinaryImage ReadBinaryImage(std::string_view bytes, bool with_exports = true);

// The machine in words: "i386 (32-bit x86)", "x86-64", ... or "machine 0x1234".
std::string MachineName(const BinaryImage &image);

}  // namespace klia
