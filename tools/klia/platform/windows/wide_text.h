// For the Windows files of the platform room: klia's own encoding on Windows (UTF-8) and the
// system's UTF-16, which its wide functions take (file names, command lines, module paths).
#pragma once

#include <string>

namespace klia {

// Text in klia's own encoding on Windows (UTF-8) as UTF-16.
std::wstring Utf8ToWide(const std::string &text);
// The system's UTF-16 (file names) as klia's UTF-8.
std::string WideToUtf8(const std::wstring &wide);

}  // namespace klia
