// Writing results: text for a person, JSON for scripts (UTF-8, two-space indent).
//
// Every command hands its result to Emit, which prints the text or, with --json, the JSON
// object: a handler never chooses for itself. Notices (something the person should know
// that is not the result) go to standard error.
//
// With --json each stream carries one JSON object at most, so that a script can parse it
// whole: standard output the result, standard error klia's error object, or when the command
// succeeded an object of its own when there is something to say. Notices are kept until then
// and go into that object as "notices": [...]. What the transport, the spy in front of it or
// the library write on standard error themselves (they write to descriptor 2 directly) goes
// into it as "transport_messages": [...]: from just before the library is loaded, descriptor 2
// is a private temporary file with no name (nothing is left behind however klia ends), and
// klia writes its own standard error through a copy of the descriptor it was given. A klia
// killed by a signal it can catch (Ctrl-C, a crash) writes what the transport said as such an
// object before it ends; only SIGKILL loses it. Without --json nothing is collected: the
// transport's lines reach the terminal as they are written.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

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
// A line for the person on standard error ("klia: <text>"), or with --json an entry of
// "notices" in the object klia writes there last.
void Notice(const std::string &text);
// The error object of a failure with --json, on standard error, with the notices and the
// transport's messages so far.
void PrintJsonError(const nlohmann::json &json);
// Ends klia's output: with --json, the notices and transport messages that no error object
// has carried go to standard error as one object, and descriptor 2 is klia's standard error
// again (what the library writes while it is unloaded reaches it as it is).
void FinishOutput();

// Under --json, from now on what is written on descriptor 2 is collected for
// "transport_messages" instead of reaching klia's standard error. Call before the interface
// library is loaded; once is enough, later calls do nothing. Without --json it does nothing.
void CollectTransportMessages();
// The lines collected and not yet carried by an object (an unfinished last line too).
std::vector<std::string> TransportMessagesSoFar();
// The words that send the person to what the transport said about a failure: "its message
// above says why", or with --json where it is in the error object (or that it said nothing).
std::string TransportMessageSaysWhy();
// Those words with --json when the transport said something, for a caller that reads klia's
// error object and puts the transport's messages first.
inline constexpr const char *kTransportMessagesInObject = "its message, in \"transport_messages\", says why";
// klia's own standard error: stderr, or while messages are collected a stream on the copy
// of the descriptor klia was given (nullptr when it was given none).
std::FILE *OwnStandardError();
// For a signal handler about to end klia: writes `text` (a line, or with --json a JSON object
// ending in "}\n") on klia's standard error, the transport's messages not yet carried added
// to the object. Calls only what a signal handler may.
void WriteFromSignalHandler(const char *text, std::size_t size);

}  // namespace klia
