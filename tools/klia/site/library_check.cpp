#include "site/library_check.h"

#include "platform/platform.h"
#include "shell/errors.h"
#include "site/interface_functions.h"

namespace klia {
namespace {

// The format of a library here: a PE file on Windows, an ELF file natively.
ImageFormat NativeFormat() { return kNativeLibraryIsPe ? ImageFormat::kPe : ImageFormat::kElf; }

// What the spy says when it is loaded: in no other transport.
constexpr std::string_view kSpyAnnouncement = "hwlink spy: active in process";
constexpr std::string_view kSpyWriter = "hwlink-spy ";

BinaryImage ReadLibrary(std::string_view bytes, const std::string &path) {
  BinaryImage image;
  try {
    image = ReadBinaryImage(bytes);
  } catch (const ImageError &e) {
    throw Failure("library", path + " is not a library klia can check: " + e.what());
  }
  if (image.format != NativeFormat()) {
    throw Failure("library", path + " is " + (image.format == ImageFormat::kPe ? "a Windows DLL" : "an ELF file") +
                                 ", and here a library is " + kNativeLibraryKind);
  }
  if (!image.library) throw Failure("library", path + " is a program, not a library");
  return image;
}

std::string Listed(const std::vector<std::string> &items) {
  std::string text;
  const size_t shown = items.size() > 4 ? 3 : items.size();
  for (size_t i = 0; i < shown; ++i) text += (i == 0 ? "" : ", ") + items[i];
  if (shown < items.size()) text += " and " + std::to_string(items.size() - shown) + " more";
  return text;
}

}  // namespace

std::vector<std::string> MissingInterface(const BinaryImage &image) {
  std::vector<std::string> missing;
  for (int ordinal = 1; ordinal <= kInterfaceFunctionCount; ++ordinal) {
    const std::string name(kInterfaceFunctionNames[static_cast<size_t>(ordinal - 1)]);
    const std::string which = name + " (ordinal " + std::to_string(ordinal) + ")";
    if (image.format == ImageFormat::kElf) {
      if (image.names.count(name) == 0) missing.push_back("no " + name);
      continue;
    }
    const auto exported = image.ordinals.find(static_cast<uint32_t>(ordinal));
    if (exported == image.ordinals.end()) {
      missing.push_back("no " + which);
    } else if (exported->second.empty()) {
      missing.push_back("ordinal " + std::to_string(ordinal) + " without its name " + name);
    } else if (exported->second != name) {
      missing.push_back("ordinal " + std::to_string(ordinal) + " named " + exported->second + " instead of " + name);
    }
  }
  return missing;
}

BinaryImage CheckInterfaceLibrary(std::string_view bytes, const std::string &path) {
  const BinaryImage image = ReadLibrary(bytes, path);
  const std::vector<std::string> missing = MissingInterface(image);
  if (missing.size() == static_cast<size_t>(kInterfaceFunctionCount)) {
    throw Failure("library", path + " is not an interface library of the IA board: it exports none of the 26 functions");
  }
  if (!missing.empty()) {
    throw Failure("library", path + " cannot stand in for the interface library: it has " + Listed(missing) +
                                 " of the 26 functions that programs call" +
                                 (image.format == ImageFormat::kPe ? " (each at its ordinal and under its name)" : ""));
  }
  return image;
}

BinaryImage CheckTransport(std::string_view bytes, const std::string &path) {
  const BinaryImage image = ReadLibrary(bytes, path);
  const bool complete = image.format == ImageFormat::kPe
                            ? image.ordinals.count(1000) != 0 && image.ordinals.count(1002) != 0
                            : image.names.count("HwTransfer") != 0 && image.names.count("HwTransferEx") != 0;
  if (!complete) {
    throw Failure("library", path + " is not a board transport: it does not export " +
                                 (image.format == ImageFormat::kPe ? std::string("ordinals 1000 and 1002")
                                                                   : std::string("HwTransfer and HwTransferEx")));
  }
  return image;
}

void CheckSameMachine(const BinaryImage &candidate, const std::string &candidate_path, const BinaryImage &reference,
                      const std::string &reference_what) {
  if (candidate.format == reference.format && candidate.machine == reference.machine &&
      candidate.bits == reference.bits) {
    return;
  }
  throw Failure("machine", candidate_path + " is built for " + MachineName(candidate) + " (" +
                               std::to_string(candidate.bits) + "-bit), but " + reference_what + " is built for " +
                               MachineName(reference) + " (" + std::to_string(reference.bits) +
                               "-bit): it could not be loaded there. Take the library built for " +
                               MachineName(reference));
}

std::optional<std::string> SpyVersion(std::string_view bytes) {
  if (bytes.find(kSpyAnnouncement) == std::string_view::npos) return std::nullopt;
  for (size_t at = bytes.find(kSpyWriter); at != std::string_view::npos; at = bytes.find(kSpyWriter, at + 1)) {
    size_t end = at + kSpyWriter.size();
    while (end < bytes.size() && ((bytes[end] >= '0' && bytes[end] <= '9') || bytes[end] == '.')) ++end;
    const std::string_view version = bytes.substr(at + kSpyWriter.size(), end - at - kSpyWriter.size());
    if (!version.empty() && version.front() != '.' && (end == bytes.size() || bytes[end] == '\0')) {
      return std::string(version);
    }
  }
  return std::string();
}

}  // namespace klia
