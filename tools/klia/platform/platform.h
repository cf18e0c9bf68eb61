// What differs between Windows and POSIX, behind one door. Every room of klia that needs the
// system for something the two do differently (replacing and locking files, modes and access
// lists, starting a program and learning how it ended, loading a library, the terminal and the
// standard streams, code page 866, hashing) asks it here; each system's answer lies in a folder
// of its own (posix/, windows/), and the build takes one of them. Nothing outside this room
// says which system it is built for.
#pragma once

#include <csignal>
#include <ctime>

namespace klia {

// --- Signals and exit codes -------------------------------------------------------------

// A program that ends because of a signal ends as shells report a program the signal ended:
// 128 + its number (130 for Ctrl-C's SIGINT, 143 for SIGTERM, 129 for SIGHUP), so that a
// script tells one from another whether klia tidied up first or not.
constexpr int ExitCodeForSignal(int signal) { return 128 + signal; }
inline constexpr int kExitInterrupted = ExitCodeForSignal(SIGINT);

// --- Time -------------------------------------------------------------------------------

// The calendar time of `moment` where klia runs, and in UTC.
std::tm LocalTime(std::time_t moment);
std::tm UniversalTime(std::time_t moment);

// --- Files: replacing, locking, modes and access lists ------------------------------------

// --- Hashing ------------------------------------------------------------------------------

// --- Processes: starting a program, waiting for it, how it ended ----------------------------

// --- Loading a library and finding the modules of this process ------------------------------

// --- The terminal and the standard streams -------------------------------------------------

// --- Text: code page 866 and the terminal's encoding ----------------------------------------

}  // namespace klia
