#include "site/install_manifest.h"

#include <algorithm>
#include <ctime>
#include <set>

#include <nlohmann/json.hpp>

#include "site/program_folder.h"
#include "platform/platform.h"

namespace klia {
namespace {

using nlohmann::json;

constexpr int kFormat = 1;

// A file a kind of change puts into a folder, and the name it keeps the file there before
// under: a record names these and nothing else, so that no edit of it makes klia touch
// another file.
struct KnownFile {
  std::string name, kept_as;
  bool always_kept = false;  // klia puts it only in place of a file that is there
};

std::vector<KnownFile> KnownFiles(const std::string &kind) {
  if (kind == "swap") {
    return {{kInterfaceLibraryFile, std::string(kInterfaceLibraryFile) + kOriginalSuffix, true}};
  }
  if (kind == "spy") {
    // The spy in place of the transport (or beside none, in front of one named by its path),
    // and its settings in place of earlier ones (or where there were none).
    return {{kTransportFile, kRealTransportFile, false},
            {kSpySettingsFile, std::string(kSpySettingsFile) + kOriginalSuffix, false}};
  }
  return {};
}

// What a kind of change puts where, in words: "libmviahlp.so.1 (keeping the file there as
// libmviahlp.so.1.klia-original)".
std::string KnownWords(const std::vector<KnownFile> &known) {
  std::string words;
  for (const KnownFile &file : known) {
    words += (words.empty() ? "" : ", ") + file.name + " (keeping the file there as " + file.kept_as + ")";
  }
  return words;
}

json EncodeContent(const Content &content) { return {{"size", content.size}, {"sha256", content.sha256}}; }

bool IsDigest(const std::string &text) {
  if (text.size() != 64) return false;
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

class Decoder {
 public:
  explicit Decoder(const std::string &file_name) : file_name_(file_name) {}

  [[noreturn]] void Refuse(const std::string &what) const {
    throw ManifestError(file_name_ + " is not a record klia can use (" + what + ")");
  }
  const json &Field(const json &object, const char *key, const std::string &where) const {
    if (!object.is_object() || !object.contains(key)) Refuse(where + " has no \"" + key + "\"");
    return object.at(key);
  }
  std::string Text(const json &object, const char *key, const std::string &where) const {
    const json &value = Field(object, key, where);
    if (!value.is_string()) Refuse(where + ": \"" + key + "\" is not text");
    return value.get<std::string>();
  }
  std::string OptionalText(const json &object, const char *key, const std::string &where) const {
    if (!object.contains(key)) return "";
    return Text(object, key, where);
  }
  // A name no klia writes: someone edited the record.
  [[noreturn]] void RefuseName(const std::string &what) const { Refuse(what + "; the record was edited by hand"); }
  std::string Name(const json &object, const char *key, const std::string &where) const {
    std::string name = Text(object, key, where);
    if (!IsPlainFileName(name)) RefuseName(where + ": \"" + name + "\" is not a plain file name");
    return name;
  }
  Content DecodeContent(const json &object, const std::string &where) const {
    Content content;
    const json &size = Field(object, "size", where);
    if (!size.is_number_unsigned()) Refuse(where + ": the size is not a whole number");
    content.size = size.get<uint64_t>();
    content.sha256 = Text(object, "sha256", where);
    if (!IsDigest(content.sha256)) Refuse(where + ": the SHA-256 is not 64 hex digits");
    return content;
  }

 private:
  std::string file_name_;
};

}  // namespace

bool IsPlainFileName(std::string_view name) {
  if (name.empty() || name == "." || name == ".." || name.size() > 255) return false;
  for (const char c : name) {
    if (c == '/' || c == '\\' || c == ':' || static_cast<unsigned char>(c) < 0x20) return false;
  }
  return true;
}

std::string UtcNow() {
  const std::time_t now = std::time(nullptr);
  const std::tm t = UniversalTime(now);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &t);
  return text;
}

std::string EncodeManifest(const InstallManifest &manifest) {
  json files = json::array();
  for (const PlacedFile &file : manifest.files) {
    json entry = {{"name", file.name}, {"installed", EncodeContent(file.installed)}};
    if (!file.source.empty()) entry["installed"]["source"] = file.source;
    if (!file.version.empty()) entry["installed"]["version"] = file.version;
    if (file.original) {
      json original = EncodeContent(file.original->content);
      original["kept_as"] = file.original->kept_as;
      if (!file.original->link.empty()) original["link"] = file.original->link;
      entry["original"] = original;
    } else {
      entry["original"] = nullptr;
    }
    if (!file.earlier.empty()) {
      entry["earlier"] = json::array();
      for (const Content &earlier : file.earlier) entry["earlier"].push_back(EncodeContent(earlier));
    }
    files.push_back(entry);
  }
  json record = {{"klia_manifest", kFormat}, {"kind", manifest.kind}, {"time", manifest.time},
                 {"klia", manifest.klia_version}, {"files", files}};
  if (!manifest.details.empty()) record["details"] = manifest.details;
  return record.dump(2) + "\n";
}

InstallManifest DecodeManifest(std::string_view text, const std::string &file_name) {
  const Decoder in(file_name);
  json record;
  try {
    record = json::parse(text);
  } catch (const json::exception &) {
    in.Refuse("it is not JSON");
  }
  if (!record.is_object()) in.Refuse("it is not a JSON object");
  const json &format = in.Field(record, "klia_manifest", "the record");
  if (!format.is_number_integer() || format.get<int64_t>() != kFormat) {
    in.Refuse("a record of another format, " + format.dump() + "; a newer klia wrote it");
  }
  InstallManifest manifest;
  manifest.kind = in.Text(record, "kind", "the record");
  const std::vector<KnownFile> known = KnownFiles(manifest.kind);
  if (known.empty()) in.Refuse("a record of an unknown kind, \"" + manifest.kind + "\"");
  manifest.time = in.OptionalText(record, "time", "the record");
  manifest.klia_version = in.OptionalText(record, "klia", "the record");
  const json &files = in.Field(record, "files", "the record");
  if (!files.is_array() || files.empty()) in.Refuse("it lists no files");
  std::set<std::string> names;
  std::set<size_t> roles;  // which of the kind's files each entry is
  for (const json &entry : files) {
    PlacedFile file;
    file.name = in.Name(entry, "name", "a file");
    const std::string where = "the file " + file.name;
    const json &installed = in.Field(entry, "installed", where);
    file.installed = in.DecodeContent(installed, where);
    file.source = in.OptionalText(installed, "source", where);
    file.version = in.OptionalText(installed, "version", where);
    const json &original = in.Field(entry, "original", where);
    if (!original.is_null()) {
      KeptOriginal kept;
      kept.kept_as = in.Name(original, "kept_as", where + "'s original");
      kept.content = in.DecodeContent(original, where + "'s original");
      kept.link = in.OptionalText(original, "link", where + "'s original");
      file.original = kept;
    }
    if (entry.contains("earlier")) {
      const json &earlier = entry.at("earlier");
      if (!earlier.is_array()) in.Refuse(where + ": \"earlier\" is not a list");
      for (const json &content : earlier) file.earlier.push_back(in.DecodeContent(content, where));
    }
    std::vector<std::string> own = {file.name};
    if (file.original) own.push_back(file.original->kept_as);
    for (const std::string &name : own) {
      if (SameFileName(name, file_name)) in.RefuseName("it lists itself as a file klia put there");
      if (!names.insert(name).second) in.RefuseName("the name " + name + " is listed twice");
    }
    const std::string words = " klia " + manifest.kind + " puts " + KnownWords(known) + " and nothing else";
    const auto role = std::find_if(known.begin(), known.end(),
                                   [&](const KnownFile &candidate) { return SameFileName(candidate.name, file.name); });
    if (role == known.end()) in.RefuseName("it names \"" + file.name + "\", a file that klia never put there:" + words);
    if (!roles.insert(static_cast<size_t>(role - known.begin())).second) {
      in.RefuseName("the name " + file.name + " is listed twice");
    }
    if (file.original && !SameFileName(file.original->kept_as, role->kept_as)) {
      in.RefuseName("it names \"" + file.original->kept_as + "\" as the name " + file.name +
                    " is kept under, which klia never uses:" + words);
    }
    if (!file.original && role->always_kept) {
      in.RefuseName("it says that no file was at " + file.name + " before klia; but" + words + ", only in place of a "
                    "file that is there");
    }
    manifest.files.push_back(file);
  }
  if (record.contains("details")) {
    const json &details = record.at("details");
    if (!details.is_object()) in.Refuse("\"details\" is not an object");
    for (const auto &[key, value] : details.items()) {
      if (!value.is_string()) in.Refuse("the detail \"" + key + "\" is not text");
      manifest.details[key] = value.get<std::string>();
    }
  }
  return manifest;
}

}  // namespace klia
