// What klia swap and klia spy share: the program's folder named on the command line, the file
// to put there read once (what is checked is what is put), the programs of the folder, and a
// change of the folder that Ctrl-C undoes instead of cutting short.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "site/binary_image.h"
#include "site/folder_files.h"
#include "site/folder_install.h"

namespace klia {

// Throws UsageError when `files`' folder is not there.
void RequireFolder(const FolderFiles &files, const std::string &given);

// The bytes of a file to put into the folder (a library, the spy). Throws UsageError naming
// `what` ("--library") when it cannot be read.
std::string ReadFileToPlace(const std::string &path, const std::string &what);

// The image of a file in the folder when it is a readable ELF or PE file (its headers only
// with !with_exports), else nothing.
std::optional<BinaryImage> ImageInFolder(const FolderFiles &files, const std::string &name, bool with_exports);

// Throws Failure ("machine") when the folder holds programs (Windows: its .exe files) and
// `candidate` is built for the machine of none of them.
void CheckFolderPrograms(const BinaryImage &candidate, const std::string &candidate_path, const FolderFiles &files);

// A folder in a command line the person can paste: quoted when it holds a space.
std::string Pasteable(const std::string &path);

// klia swap --forget, klia spy forget: drops klia's record of `install` (see
// FolderInstall::PlanForget), every other file staying as it lies, after saying what stays and
// asking (`yes`: without asking; off a terminal it is needed). `names`: every name klia uses
// in the folder. `afterwards` says, from the names that stay, what is now the site's to look
// after and how the files are put back by hand.
int ForgetRecord(FolderInstall &install, const FolderFiles &files, const std::string &command,
                 const std::vector<std::string> &names, bool yes,
                 const std::function<std::string(const std::vector<std::string> &there)> &afterwards);

// Runs `change` with Ctrl-C, SIGTERM and SIGHUP held off (the change undoes itself when one
// came): its exit code, or ExitCodeForSignal with the message of Interrupted, naming the
// signal, on standard error.
int RunFolderChange(const std::string &command, const std::function<int()> &change);

}  // namespace klia
