// The record klia keeps beside the files it puts into a program's folder (klia-swap.json,
// klia-spy.json): for each file, its name, what klia put there (size, SHA-256, where it came
// from, its version) and, where klia replaced a file, the name it keeps that original under
// with the original's size and SHA-256. It is the only account klia acts on when it takes its
// files out again: klia touches the names it records and nothing else.
//
// Encoded and decoded here and nowhere else. A record that is not sound (unreadable JSON, a
// missing field, a name with a folder in it) is refused as a whole with ManifestError.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace klia {

class ManifestError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Content {
  uint64_t size = 0;
  std::string sha256;
  bool operator==(const Content &) const = default;
};

// The file that was at a name before klia, kept under another name.
struct KeptOriginal {
  std::string kept_as;
  Content content;
  std::string link;  // natively: it was a symbolic link leading here (as written); empty for a file
};

struct PlacedFile {
  std::string name;
  std::optional<KeptOriginal> original;  // none: no file was at `name` before
  Content installed;
  std::vector<Content> earlier;  // what this record put at `name` before (a library swapped in again)
  std::string source;            // where klia took it from, for people
  std::string version;           // what it is, for people
};

struct InstallManifest {
  std::string kind;          // "swap" or "spy"
  std::string time;          // when klia put the files there, UTC, ISO 8601
  std::string klia_version;  // the klia that did
  std::vector<PlacedFile> files;
  std::map<std::string, std::string> details;  // the command's own settings (the spy's trace, guard, transport)
};

std::string EncodeManifest(const InstallManifest &manifest);
// `file_name` names the record in messages. Throws ManifestError.
InstallManifest DecodeManifest(std::string_view text, const std::string &file_name);

// True for a name klia may act on: a plain file name, no folder in it.
bool IsPlainFileName(std::string_view name);

// Now, UTC, ISO 8601.
std::string UtcNow();

}  // namespace klia
