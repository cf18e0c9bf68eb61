#include "site/binary_image.h"

#include <cstdio>
#include <vector>

namespace klia {
namespace {

// The file's bytes, read at checked offsets. `little` chooses the byte order of numbers.
class Reader {
 public:
  Reader(std::string_view bytes, const char *format) : bytes_(bytes), format_(format) {}
  void SetLittleEndian(bool little) { little_ = little; }
  size_t size() const { return bytes_.size(); }

  // Throws unless [offset, offset + count) lies inside the file.
  void Need(uint64_t offset, uint64_t count, const char *what) const {
    if (offset > bytes_.size() || count > bytes_.size() - offset) {
      throw ImageError(std::string("not a complete ") + format_ + " file: its " + what + " lies past its end (" +
                       std::to_string(bytes_.size()) + " bytes)");
    }
  }
  uint64_t Number(uint64_t offset, int width, const char *what) const {
    Need(offset, static_cast<uint64_t>(width), what);
    uint64_t value = 0;
    for (int i = 0; i < width; ++i) {
      const auto byte = static_cast<uint8_t>(bytes_[static_cast<size_t>(offset) + static_cast<size_t>(i)]);
      const int shift = 8 * (little_ ? i : width - 1 - i);
      value |= static_cast<uint64_t>(byte) << shift;
    }
    return value;
  }
  uint8_t U8(uint64_t offset, const char *what) const { return static_cast<uint8_t>(Number(offset, 1, what)); }
  uint16_t U16(uint64_t offset, const char *what) const { return static_cast<uint16_t>(Number(offset, 2, what)); }
  uint32_t U32(uint64_t offset, const char *what) const { return static_cast<uint32_t>(Number(offset, 4, what)); }
  uint64_t U64(uint64_t offset, const char *what) const { return Number(offset, 8, what); }
  // A NUL-terminated string at `offset`, which must end before `limit` (a table's end).
  std::string Text(uint64_t offset, uint64_t limit, const char *what) const {
    if (limit > bytes_.size()) limit = bytes_.size();
    for (uint64_t end = offset; end < limit; ++end) {
      if (bytes_[static_cast<size_t>(end)] == '\0') {
        return std::string(bytes_.substr(static_cast<size_t>(offset), static_cast<size_t>(end - offset)));
      }
    }
    throw ImageError(std::string("not a sound ") + format_ + " file: a " + what + " runs past the end of its table");
  }

 private:
  std::string_view bytes_;
  const char *format_;
  bool little_ = true;
};

// ELF --------------------------------------------------------------------------------------

constexpr uint16_t kElfSharedObject = 3;  // ET_DYN
constexpr uint32_t kSectionDynamicSymbols = 11;  // SHT_DYNSYM
constexpr uint8_t kSymbolFunction = 2;           // STT_FUNC
constexpr uint8_t kSymbolIndirectFunction = 10;  // STT_GNU_IFUNC
constexpr uint8_t kBindGlobal = 1, kBindWeak = 2;
constexpr uint8_t kVisibilityDefault = 0, kVisibilityProtected = 3;

struct Section {
  uint32_t type = 0;
  uint64_t offset = 0, size = 0, entry_size = 0;
  uint32_t link = 0;
};

BinaryImage ReadElf(std::string_view bytes, bool with_exports) {
  Reader in(bytes, "ELF");
  in.Need(0, 16, "identification");
  const uint8_t elf_class = in.U8(4, "class");
  const uint8_t data = in.U8(5, "byte order");
  if (elf_class != 1 && elf_class != 2) throw ImageError("not a sound ELF file: unknown class " + std::to_string(elf_class));
  if (data != 1 && data != 2) throw ImageError("not a sound ELF file: unknown byte order " + std::to_string(data));
  in.SetLittleEndian(data == 1);
  const bool wide = elf_class == 2;

  BinaryImage image;
  image.format = ImageFormat::kElf;
  image.bits = wide ? 64 : 32;
  image.library = in.U16(16, "header") == kElfSharedObject;
  image.machine = in.U16(18, "header");
  if (!with_exports) return image;

  const uint64_t section_table = wide ? in.U64(0x28, "header") : in.U32(0x20, "header");
  const uint16_t entry_size = in.U16(wide ? 0x3A : 0x2E, "header");
  const uint16_t count = in.U16(wide ? 0x3C : 0x30, "header");
  if (section_table == 0 || count == 0) throw ImageError("an ELF file without a section table: its symbols cannot be read");
  if (entry_size < (wide ? 64u : 40u)) throw ImageError("not a sound ELF file: section headers of " + std::to_string(entry_size) + " bytes");
  in.Need(section_table, static_cast<uint64_t>(entry_size) * count, "section table");

  auto section = [&](uint32_t index) {
    Section s;
    if (index >= count) throw ImageError("not a sound ELF file: a section link points past the section table");
    const uint64_t at = section_table + static_cast<uint64_t>(entry_size) * index;
    s.type = in.U32(at + 4, "section header");
    s.offset = wide ? in.U64(at + 24, "section header") : in.U32(at + 16, "section header");
    s.size = wide ? in.U64(at + 32, "section header") : in.U32(at + 20, "section header");
    s.link = in.U32(at + (wide ? 40 : 24), "section header");
    s.entry_size = wide ? in.U64(at + 56, "section header") : in.U32(at + 36, "section header");
    return s;
  };

  for (uint32_t i = 0; i < count; ++i) {
    const Section symbols = section(i);
    if (symbols.type != kSectionDynamicSymbols) continue;
    const uint64_t symbol_size = wide ? 24 : 16;
    if (symbols.entry_size != symbol_size) throw ImageError("not a sound ELF file: dynamic symbols of an unexpected size");
    in.Need(symbols.offset, symbols.size, "dynamic symbol table");
    const Section strings = section(symbols.link);
    in.Need(strings.offset, strings.size, "dynamic string table");
    for (uint64_t at = symbols.offset; at + symbol_size <= symbols.offset + symbols.size; at += symbol_size) {
      const uint32_t name = in.U32(at, "symbol");
      const uint8_t info = in.U8(at + (wide ? 4 : 12), "symbol");
      const uint8_t other = in.U8(at + (wide ? 5 : 13), "symbol");
      const uint16_t defined_in = in.U16(at + (wide ? 6 : 14), "symbol");
      const uint8_t type = info & 0x0F, bind = info >> 4, visibility = other & 0x03;
      if (defined_in == 0 || (type != kSymbolFunction && type != kSymbolIndirectFunction)) continue;
      if ((bind != kBindGlobal && bind != kBindWeak) ||
          (visibility != kVisibilityDefault && visibility != kVisibilityProtected)) {
        continue;
      }
      if (name >= strings.size) throw ImageError("not a sound ELF file: a symbol's name lies outside its string table");
      image.names.insert(in.Text(strings.offset + name, strings.offset + strings.size, "symbol name"));
    }
  }
  return image;
}

// PE ---------------------------------------------------------------------------------------

constexpr uint16_t kPeDll = 0x2000;  // IMAGE_FILE_DLL
constexpr uint16_t kPe32 = 0x10B, kPe32Plus = 0x20B;
constexpr uint32_t kMostExports = 65536;

struct PeSection {
  uint32_t address = 0, virtual_size = 0, raw_size = 0, raw_offset = 0;
};

BinaryImage ReadPe(std::string_view bytes, bool with_exports) {
  Reader in(bytes, "PE");
  const uint32_t header = in.U32(0x3C, "DOS header");
  if (in.U32(header, "PE signature") != 0x00004550) throw ImageError("an MZ file without a PE header: not a Windows DLL or program");
  const uint64_t coff = header + 4u;
  BinaryImage image;
  image.format = ImageFormat::kPe;
  image.machine = in.U16(coff, "file header");
  const uint16_t section_count = in.U16(coff + 2, "file header");
  const uint16_t optional_size = in.U16(coff + 16, "file header");
  image.library = (in.U16(coff + 18, "file header") & kPeDll) != 0;
  const uint64_t optional = coff + 20;
  const uint16_t magic = in.U16(optional, "optional header");
  if (magic != kPe32 && magic != kPe32Plus) throw ImageError("not a sound PE file: unknown optional header kind");
  image.bits = magic == kPe32 ? 32 : 64;
  if (!with_exports) return image;
  const uint64_t directories = optional + (magic == kPe32 ? 96 : 112);
  const uint32_t directory_count = in.U32(directories - 4, "optional header");
  in.Need(optional, optional_size, "optional header");

  std::vector<PeSection> sections;
  const uint64_t table = optional + optional_size;
  in.Need(table, uint64_t{40} * section_count, "section table");
  for (uint16_t i = 0; i < section_count; ++i) {
    const uint64_t at = table + uint64_t{40} * i;
    sections.push_back({in.U32(at + 12, "section header"), in.U32(at + 8, "section header"),
                        in.U32(at + 16, "section header"), in.U32(at + 20, "section header")});
  }
  // The file offset of an address of the loaded image, inside a section's bytes in the file.
  auto offset_of = [&](uint32_t address, const char *what) -> uint64_t {
    for (const PeSection &s : sections) {
      const uint64_t extent = s.virtual_size > s.raw_size ? s.virtual_size : s.raw_size;
      if (address >= s.address && address - s.address < extent) {
        const uint64_t into = address - s.address;
        if (into >= s.raw_size) break;
        return uint64_t{s.raw_offset} + into;
      }
    }
    throw ImageError(std::string("not a sound PE file: its ") + what + " lies in no section of the file");
  };

  // The file version of the version resource: resource type 16, its first name, its first
  // language; in its data the fixed part begins with the signature 0xFEEF04BD.
  // A damaged resource table leaves the version unknown; the exports decide.
  if (directory_count > 2 && directories + 24 <= optional + optional_size) try {
    const uint32_t resources_address = in.U32(directories + 16, "data directory");
    if (resources_address != 0 && in.U32(directories + 20, "data directory") != 0) {
      const uint64_t resources = offset_of(resources_address, "resource table");
      uint64_t at = resources;
      uint32_t wanted = 16;  // RT_VERSION at the first level, then the first entry
      for (int level = 0; level < 3; ++level) {
        const uint32_t entries = uint32_t{in.U16(at + 12, "resource table")} + in.U16(at + 14, "resource table");
        in.Need(at + 16, uint64_t{8} * entries, "resource table");
        uint32_t target = 0;
        bool found = false;
        for (uint32_t i = 0; i < entries && !found; ++i) {
          const uint32_t id = in.U32(at + 16 + uint64_t{8} * i, "resource table");
          target = in.U32(at + 20 + uint64_t{8} * i, "resource table");
          found = level > 0 || id == wanted;
        }
        if (!found) break;
        const bool subdirectory = (target & 0x80000000u) != 0;
        at = resources + (target & 0x7FFFFFFFu);
        if (level < 2 && !subdirectory) break;
        if (level == 2 && !subdirectory) {
          const uint64_t data = offset_of(in.U32(at, "resource data"), "version resource");
          const uint32_t size = in.U32(at + 4, "resource data");
          in.Need(data, size, "version resource");
          for (uint64_t sign = data; sign + 16 <= data + size; sign += 4) {
            if (in.U32(sign, "version resource") != 0xFEEF04BDu) continue;
            const uint32_t high = in.U32(sign + 8, "version resource"), low = in.U32(sign + 12, "version resource");
            image.file_version = std::to_string(high >> 16) + "." + std::to_string(high & 0xFFFF) + "." +
                                 std::to_string(low >> 16) + "." + std::to_string(low & 0xFFFF);
            break;
          }
        }
      }
    }
  } catch (const ImageError &) {
    image.file_version.clear();
  }

  if (directory_count == 0 || directories + 8 > optional + optional_size) return image;  // no export table
  const uint32_t exports_address = in.U32(directories, "data directory");
  const uint32_t exports_size = in.U32(directories + 4, "data directory");
  if (exports_address == 0 || exports_size == 0) return image;
  const uint64_t directory = offset_of(exports_address, "export table");
  in.Need(directory, 40, "export table");
  const uint32_t base = in.U32(directory + 16, "export table");
  const uint32_t function_count = in.U32(directory + 20, "export table");
  const uint32_t name_count = in.U32(directory + 24, "export table");
  if (function_count > kMostExports || name_count > kMostExports) {
    throw ImageError("not a sound PE file: its export table claims " + std::to_string(function_count) + " functions and " +
                     std::to_string(name_count) + " names");
  }
  if (function_count != 0) {
    const uint64_t functions = offset_of(in.U32(directory + 28, "export table"), "export address table");
    in.Need(functions, uint64_t{4} * function_count, "export address table");
    for (uint32_t i = 0; i < function_count; ++i) {
      if (in.U32(functions + uint64_t{4} * i, "export address table") != 0) image.ordinals[base + i] = "";
    }
  }
  if (name_count != 0) {
    const uint64_t names = offset_of(in.U32(directory + 32, "export table"), "export name table");
    const uint64_t indexes = offset_of(in.U32(directory + 36, "export table"), "export ordinal table");
    in.Need(names, uint64_t{4} * name_count, "export name table");
    in.Need(indexes, uint64_t{2} * name_count, "export ordinal table");
    for (uint32_t i = 0; i < name_count; ++i) {
      const uint32_t name_address = in.U32(names + uint64_t{4} * i, "export name table");
      const uint16_t index = in.U16(indexes + uint64_t{2} * i, "export ordinal table");
      const std::string name = in.Text(offset_of(name_address, "export name"), in.size(), "export name");
      image.names.insert(name);
      const auto exported = image.ordinals.find(base + index);
      if (index < function_count && exported != image.ordinals.end() && exported->second.empty()) exported->second = name;
    }
  }
  return image;
}

}  // namespace

BinaryImage ReadBinaryImage(std::string_view bytes, bool with_exports) {
  if (bytes.size() >= 4 && bytes.substr(0, 4) == std::string_view("\x7F" "ELF", 4)) return ReadElf(bytes, with_exports);
  if (bytes.size() >= 2 && bytes.substr(0, 2) == "MZ") return ReadPe(bytes, with_exports);
  if (bytes.empty()) throw ImageError("an empty file, not a library");
  throw ImageError("neither an ELF shared object nor a Windows DLL (it begins with neither \\x7FELF nor MZ)");
}

std::string MachineName(const BinaryImage &image) {
  if (image.format == ImageFormat::kElf) {
    switch (image.machine) {
      case 3: return "i386 (32-bit x86)";
      case 62: return "x86-64";
      case 40: return "ARM (32-bit)";
      case 183: return "AArch64 (64-bit ARM)";
      default: break;
    }
  } else {
    switch (image.machine) {
      case 0x14C: return "i386 (32-bit x86)";
      case 0x8664: return "x86-64";
      case 0x1C4: return "ARM (32-bit)";
      case 0xAA64: return "ARM64";
      default: break;
    }
  }
  char text[32];
  std::snprintf(text, sizeof text, "machine 0x%04X", image.machine);
  return text;
}

}  // namespace klia
