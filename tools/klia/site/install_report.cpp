#include "site/install_report.h"

namespace klia {
namespace {

using nlohmann::json;

std::string HoldingKey(Holding holding) {
  switch (holding) {
    case Holding::kPlaced: return "placed";
    case Holding::kPlacedEarlier: return "placed_earlier";
    case Holding::kOriginal: return "original";
    case Holding::kNothing: return "nothing";
    case Holding::kChanged: break;
  }
  return "changed";
}

std::string Placed(const PlacedFile &file) {
  std::string what = file.version.empty() ? std::string("the file klia put there") : file.version;
  if (!file.source.empty()) what += ", from " + file.source;
  return what + " (" + DescribeContent(file.installed) + ")";
}

std::string Holds(const FileReport &file) {
  switch (file.holding) {
    case Holding::kPlaced: return Placed(file.record);
    case Holding::kPlacedEarlier:
      return "an earlier file klia put there (" + DescribeContent({file.now.size, file.now.sha256}) + ")";
    case Holding::kOriginal: return "the folder's own again (" + DescribeContent(file.record.original->content) + ")";
    case Holding::kNothing: return file.record.original ? "nothing: the file is missing" : "nothing (klia's file is gone)";
    case Holding::kChanged: break;
  }
  return "CHANGED since klia put it there: now " + DescribeContent({file.now.size, file.now.sha256}) +
         ", klia put " + DescribeContent(file.record.installed);
}

std::string Kept(const FileReport &file) {
  if (file.kept_intact) return "the original " + file.record.name + ", kept (" + DescribeContent(file.record.original->content) + ")";
  if (!file.kept.exists()) return file.holding == Holding::kOriginal ? "" : "MISSING: the original " + file.record.name + " klia kept is gone";
  return "CHANGED: not the original " + file.record.name + " klia kept (" +
         DescribeContent(file.record.original->content) + ")";
}

std::string Row(const std::string &name, const std::string &what) {
  std::string row = "  " + name;
  row += row.size() < 30 ? std::string(30 - row.size(), ' ') : std::string("  ");
  return row + what + "\n";
}

}  // namespace

std::string NextStep(const FolderReport &report, const std::string &doing, const std::string &command,
                     const std::string &key, const std::string &forget, json &result) {
  if (report.state == FolderState::kChanged) {
    result["forget"] = forget;
    return "klia will not change it: a file it recorded was changed since (see above). Put the files back as klia "
           "left them, or keep the folder as it is and drop klia's record: " + forget + "\n";
  }
  if (!report.manifest && report.scratch.empty()) return "";
  result[key] = command;
  return doing + ": " + command + "\n";
}

std::string StateWords(FolderState state) {
  switch (state) {
    case FolderState::kNone: return "nothing of klia's";
    case FolderState::kInPlace: return "in place";
    case FolderState::kIncomplete: return "INCOMPLETE (a klia ended between two steps)";
    case FolderState::kTakenOut: return "taken out, only klia's record is left";
    case FolderState::kChanged: break;
  }
  return "CHANGED since klia put its files there";
}

std::string StateKey(FolderState state) {
  switch (state) {
    case FolderState::kNone: return "none";
    case FolderState::kInPlace: return "in_place";
    case FolderState::kIncomplete: return "incomplete";
    case FolderState::kTakenOut: return "taken_out";
    case FolderState::kChanged: break;
  }
  return "changed";
}

std::string RecordedLines(const FolderReport &report) {
  std::string text;
  for (const FileReport &file : report.files) {
    text += Row(file.record.name, Holds(file));
    if (file.record.original) {
      const std::string kept = Kept(file);
      if (!kept.empty()) text += Row(file.record.original->kept_as, kept);
    }
  }
  return text;
}

std::string FileLine(const std::string &name, const std::string &what) { return Row(name, what); }

std::string ReportLines(const FolderReport &report) {
  std::string text = RecordedLines(report);
  for (const std::string &name : report.scratch) text += Row(name, "a scratch file of an interrupted klia");
  for (const std::string &name : report.strays) text += Row(name, "there WITHOUT klia's record: klia will not touch it");
  return text;
}

json ReportJson(const FolderFiles &files, const FolderReport &report) {
  json result = {{"folder", files.folder()}, {"state", StateKey(report.state)}};
  if (report.manifest) {
    result["since"] = report.manifest->time;
    result["klia"] = report.manifest->klia_version;
    if (!report.manifest->details.empty()) result["details"] = report.manifest->details;
  }
  json entries = json::array();
  for (const FileReport &file : report.files) {
    json entry = {{"name", file.record.name},
                  {"holds", HoldingKey(file.holding)},
                  {"placed", {{"size", file.record.installed.size},
                              {"sha256", file.record.installed.sha256},
                              {"source", file.record.source},
                              {"version", file.record.version}}}};
    if (file.now.exists()) entry["now"] = {{"size", file.now.size}, {"sha256", file.now.sha256}};
    if (file.record.original) {
      entry["original"] = {{"kept_as", file.record.original->kept_as},
                           {"size", file.record.original->content.size},
                           {"sha256", file.record.original->content.sha256},
                           {"kept", file.kept_intact ? "intact" : file.kept.exists() ? "changed" : "missing"}};
    }
    entries.push_back(entry);
  }
  result["files"] = entries;
  result["scratch"] = report.scratch;
  result["strays"] = report.strays;
  return result;
}

}  // namespace klia
