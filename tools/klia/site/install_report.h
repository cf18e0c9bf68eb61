// What klia swap --status and klia spy status show: the record klia keeps in a program's
// folder and what each recorded name holds now, for a person or as JSON.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "site/folder_files.h"
#include "site/folder_install.h"

namespace klia {

// One line per recorded name (and kept original), each saying what it holds now; then klia's
// scratch files and the names klia would use that are there without a record.
std::string ReportLines(const FolderReport &report);
// The lines of the recorded names alone, and one line of the same shape.
std::string RecordedLines(const FolderReport &report);
std::string FileLine(const std::string &name, const std::string &what);
nlohmann::json ReportJson(const FolderFiles &files, const FolderReport &report);

// The status's last line: `doing` ("To take it out") and the command that does it, or why
// klia will not and `forget`, the way out; the command goes into `json` as `key` (or
// `forget` as "forget").
std::string NextStep(const FolderReport &report, const std::string &doing, const std::string &command,
                     const std::string &key, const std::string &forget, nlohmann::json &json);

// The folder's state in a few words ("in place", ...) and as a JSON value ("in_place", ...).
std::string StateWords(FolderState state);
std::string StateKey(FolderState state);

}  // namespace klia
