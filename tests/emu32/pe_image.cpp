#include "pe_image.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>

namespace emu32 {

namespace {

// Offsets of the PE format (32-bit optional header, PE32).
constexpr uint32_t kDosLfanew = 0x3C;
constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kOptionalMagicPe32 = 0x010B;
constexpr uint16_t kCharacteristicsRelocsStripped = 0x0001;
constexpr uint16_t kCharacteristicsDll = 0x2000;
constexpr int kDirectoryExport = 0;
constexpr int kDirectoryImport = 1;
constexpr int kDirectoryBaseReloc = 5;
constexpr int kDirectoryTls = 9;
constexpr unsigned kRelocHighLow = 3;
constexpr unsigned kRelocAbsolute = 0;

std::string Hex(uint32_t value) {
  std::ostringstream text;
  text << "0x" << std::hex << value;
  return text.str();
}

}  // namespace

uint8_t PeImage::U8(uint32_t offset) const {
  if (offset >= bytes_.size()) throw PeError(path_ + ": truncated at file offset " + Hex(offset));
  return bytes_[offset];
}

uint16_t PeImage::U16(uint32_t offset) const { return static_cast<uint16_t>(U8(offset) | (U8(offset + 1) << 8)); }

uint32_t PeImage::U32(uint32_t offset) const {
  return static_cast<uint32_t>(U16(offset)) | (static_cast<uint32_t>(U16(offset + 2)) << 16);
}

uint32_t PeImage::FileOffset(uint32_t rva, uint32_t length) const {
  if (rva < size_of_headers_ && rva + length <= size_of_headers_) return rva;
  for (const PeSection &section : sections_) {
    if (rva >= section.rva && rva - section.rva + length <= section.raw_size) {
      return section.raw_offset + (rva - section.rva);
    }
  }
  throw PeError(path_ + ": RVA " + Hex(rva) + " lies in no section's data");
}

std::string PeImage::String(uint32_t rva) const {
  std::string text;
  for (uint32_t offset = FileOffset(rva, 1);; ++offset) {
    const uint8_t c = U8(offset);
    if (c == 0) return text;
    if (text.size() > 4096) throw PeError(path_ + ": unterminated name at RVA " + Hex(rva));
    text.push_back(static_cast<char>(c));
  }
}

PeImage PeImage::Read(const std::string &path) {
  PeImage image;
  image.path_ = path;
  std::ifstream file(path, std::ios::binary);
  if (!file) throw PeError(path + ": cannot be opened");
  image.bytes_.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  if (image.bytes_.size() < 0x40 || image.bytes_[0] != 'M' || image.bytes_[1] != 'Z') {
    throw PeError(path + ": not a PE file (no MZ header)");
  }
  const uint32_t pe = image.U32(kDosLfanew);
  if (image.U32(pe) != 0x00004550) throw PeError(path + ": not a PE file (no PE signature)");
  const uint32_t coff = pe + 4;
  if (image.U16(coff) != kMachineI386) throw PeError(path + ": not a 32-bit x86 file");
  const uint16_t section_count = image.U16(coff + 2);
  const uint16_t optional_size = image.U16(coff + 16);
  const uint16_t characteristics = image.U16(coff + 18);
  if ((characteristics & kCharacteristicsDll) == 0) throw PeError(path + ": not a DLL");
  image.relocations_stripped_ = (characteristics & kCharacteristicsRelocsStripped) != 0;
  const uint32_t optional = coff + 20;
  if (image.U16(optional) != kOptionalMagicPe32) throw PeError(path + ": not a PE32 (32-bit) image");
  image.entry_rva_ = image.U32(optional + 16);
  image.image_base_ = image.U32(optional + 28);
  image.size_of_image_ = image.U32(optional + 56);
  image.size_of_headers_ = image.U32(optional + 60);
  const uint32_t directory_count = image.U32(optional + 92);
  auto directory = [&](int index) -> std::pair<uint32_t, uint32_t> {
    if (static_cast<uint32_t>(index) >= directory_count) return {0, 0};
    return {image.U32(optional + 96 + 8 * index), image.U32(optional + 100 + 8 * index)};
  };

  const uint32_t section_table = optional + optional_size;
  for (uint16_t i = 0; i < section_count; ++i) {
    const uint32_t at = section_table + 40u * i;
    PeSection section;
    for (uint32_t c = 0; c < 8 && image.U8(at + c) != 0; ++c)
      section.name.push_back(static_cast<char>(image.U8(at + c)));
    section.virtual_size = image.U32(at + 8);
    section.rva = image.U32(at + 12);
    section.raw_size = image.U32(at + 16);
    section.raw_offset = image.U32(at + 20);
    section.characteristics = image.U32(at + 36);
    if (section.raw_size != 0 && section.raw_offset + static_cast<uint64_t>(section.raw_size) > image.bytes_.size()) {
      throw PeError(path + ": section " + section.name + " lies past the end of the file");
    }
    if (section.rva + static_cast<uint64_t>(std::max(section.virtual_size, section.raw_size)) >
        image.size_of_image_ + 0xFFFull) {
      throw PeError(path + ": section " + section.name + " lies past SizeOfImage");
    }
    image.sections_.push_back(section);
  }

  // Imports: one descriptor of 20 bytes per DLL, ended by a zero descriptor. The lookup table
  // (or, without one, the address table) names each slot: bit 31 set, an ordinal; otherwise the
  // RVA of a hint and a name.
  if (auto [rva, size] = directory(kDirectoryImport); rva != 0 && size != 0) {
    for (uint32_t descriptor = rva;; descriptor += 20) {
      const uint32_t at = image.FileOffset(descriptor, 20);
      const uint32_t lookup = image.U32(at);
      const uint32_t name = image.U32(at + 12);
      const uint32_t iat = image.U32(at + 16);
      if (name == 0 && iat == 0) break;
      const std::string dll = image.String(name);
      const uint32_t table = lookup != 0 ? lookup : iat;
      for (uint32_t slot = 0;; ++slot) {
        const uint32_t entry = image.U32(image.FileOffset(table + 4 * slot, 4));
        if (entry == 0) break;
        PeImport import{dll, std::nullopt, "", iat + 4 * slot};
        if ((entry & 0x80000000u) != 0) {
          import.ordinal = static_cast<uint16_t>(entry & 0xFFFF);
        } else {
          import.name = image.String(entry + 2);
        }
        image.imports_.push_back(import);
      }
    }
  }

  // Exports: ordinals are the base plus the index into the address table; names map to indexes.
  if (auto [rva, size] = directory(kDirectoryExport); rva != 0 && size != 0) {
    const uint32_t at = image.FileOffset(rva, 40);
    const uint32_t base = image.U32(at + 16);
    const uint32_t function_count = image.U32(at + 20);
    const uint32_t name_count = image.U32(at + 24);
    const uint32_t functions = image.U32(at + 28);
    const uint32_t names = image.U32(at + 32);
    const uint32_t name_ordinals = image.U32(at + 36);
    if (function_count > 0x10000) throw PeError(path + ": export table too large");
    for (uint32_t i = 0; i < function_count; ++i) {
      const uint32_t function = image.U32(image.FileOffset(functions + 4 * i, 4));
      if (function == 0) continue;
      const auto ordinal = static_cast<uint16_t>(base + i);
      image.exports_[ordinal] = PeExport{ordinal, function, ""};
    }
    for (uint32_t i = 0; i < name_count; ++i) {
      const uint32_t name = image.U32(image.FileOffset(names + 4 * i, 4));
      const uint16_t index = image.U16(image.FileOffset(name_ordinals + 2 * i, 2));
      const auto ordinal = static_cast<uint16_t>(base + index);
      auto found = image.exports_.find(ordinal);
      if (found == image.exports_.end()) throw PeError(path + ": an export name points at no function");
      found->second.name = image.String(name);
    }
  }

  // Base relocations: blocks of a page RVA, a block size and 16-bit entries (type, offset).
  if (auto [rva, size] = directory(kDirectoryBaseReloc); rva != 0 && size != 0) {
    for (uint32_t block = rva; block < rva + size;) {
      const uint32_t at = image.FileOffset(block, 8);
      const uint32_t page = image.U32(at);
      const uint32_t block_size = image.U32(at + 4);
      if (block_size < 8 || block_size % 2 != 0) throw PeError(path + ": malformed relocation block");
      for (uint32_t entry = 8; entry < block_size; entry += 2) {
        const uint16_t value = image.U16(image.FileOffset(block + entry, 2));
        const unsigned type = value >> 12;
        if (type == kRelocAbsolute) continue;
        if (type != kRelocHighLow)
          throw PeError(path + ": relocation of type " + std::to_string(type) + " not supported");
        image.relocations_.push_back(page + (value & 0x0FFF));
      }
      block += block_size;
    }
  }

  if (auto [rva, size] = directory(kDirectoryTls); rva != 0 && size != 0) {
    const uint32_t at = image.FileOffset(rva, 24);
    image.tls_ = PeTls{image.U32(at), image.U32(at + 4), image.U32(at + 8), image.U32(at + 12), image.U32(at + 16)};
  }
  return image;
}

}  // namespace emu32
