// Writing results: text for a person, JSON for scripts (UTF-8, two-space indent).
//
// Every command hands its result to Emit, which prints the text or, with --json, the JSON
// object: a handler never chooses for itself. Notices (something the person should know
// that is not the result) go to standard error, as JSON there with --json.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace klia {

struct Context;

// Set once from --json, before any command runs.
void SetJsonOutput(bool json);
bool JsonOutput();

void PrintText(const std::string &text);
void PrintJson(const nlohmann::json &json);
// The result of a command: `text` for a person, or `json` with --json.
void Emit(const std::string &text, const nlohmann::json &json);
// A line for the person on standard error ("klia: <text>"), or {"notice": text} with --json.
void Notice(const std::string &text);
// A JSON object on standard error (the error object of a failure with --json).
void PrintJsonError(const nlohmann::json &json);

}  // namespace klia
