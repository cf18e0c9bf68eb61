// A 32-bit PE file (a DLL) read as the Windows loader reads it: its headers, sections, base
// relocations, imports, exports and thread-local storage directory. Every field is read byte by
// byte, little-endian, at the offsets the PE format fixes; nothing is laid over the file as a
// struct. A file that is not a well-formed 32-bit x86 DLL is refused with a PeError naming what
// is wrong.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace emu32 {

class PeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct PeSection {
  std::string name;
  uint32_t rva;
  uint32_t virtual_size;
  uint32_t raw_offset;
  uint32_t raw_size;
  uint32_t characteristics;  // IMAGE_SCN_MEM_EXECUTE/READ/WRITE in bits 29-31
};

// One import: by ordinal (NONAME) or by name; `iat_rva` is the slot the loader fills.
struct PeImport {
  std::string dll;
  std::optional<uint16_t> ordinal;
  std::string name;
  uint32_t iat_rva;
};

struct PeExport {
  uint16_t ordinal;
  uint32_t rva;
  std::string name;  // empty for an export by ordinal only
};

struct PeTls {
  uint32_t raw_start;  // VA of the template, as the file holds it (before relocation)
  uint32_t raw_end;
  uint32_t index_address;  // VA of the word that receives the module's TLS index
  uint32_t callbacks;      // VA of a null-terminated array of callback VAs, or 0
  uint32_t zero_fill;
};

class PeImage {
 public:
  // Reads and checks the file; throws PeError.
  static PeImage Read(const std::string &path);

  const std::string &Path() const { return path_; }
  uint32_t ImageBase() const { return image_base_; }
  uint32_t SizeOfImage() const { return size_of_image_; }
  uint32_t SizeOfHeaders() const { return size_of_headers_; }
  uint32_t EntryRva() const { return entry_rva_; }
  const std::vector<uint8_t> &Bytes() const { return bytes_; }
  const std::vector<PeSection> &Sections() const { return sections_; }
  const std::vector<PeImport> &Imports() const { return imports_; }
  const std::map<uint16_t, PeExport> &Exports() const { return exports_; }
  const std::optional<PeTls> &Tls() const { return tls_; }
  // RVAs of the 32-bit words that base relocations (type HIGHLOW) adjust.
  const std::vector<uint32_t> &Relocations() const { return relocations_; }
  bool Relocatable() const { return !relocations_stripped_; }

 private:
  uint32_t FileOffset(uint32_t rva, uint32_t length) const;  // throws when outside the file's raw data
  uint8_t U8(uint32_t offset) const;
  uint16_t U16(uint32_t offset) const;
  uint32_t U32(uint32_t offset) const;
  std::string String(uint32_t rva) const;  // NUL-terminated, at an RVA

  std::string path_;
  std::vector<uint8_t> bytes_;
  uint32_t image_base_ = 0;
  uint32_t size_of_image_ = 0;
  uint32_t size_of_headers_ = 0;
  uint32_t entry_rva_ = 0;
  bool relocations_stripped_ = false;
  std::vector<PeSection> sections_;
  std::vector<PeImport> imports_;
  std::map<uint16_t, PeExport> exports_;
  std::optional<PeTls> tls_;
  std::vector<uint32_t> relocations_;
};

}  // namespace emu32
