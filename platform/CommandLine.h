// The argument text of a Windows command line.
#pragma once

#include <string_view>

namespace ostrada::platform {

// Everything after the program's own path, by the rule the C runtime uses
// for WinMain's command line: a path that starts with a quote runs to the
// next quote, any other path to the first blank or control character. The
// blanks after the path are skipped; the rest is returned as it stands.
std::u16string_view ArgumentText(std::u16string_view commandLine);

}  // namespace ostrada::platform
