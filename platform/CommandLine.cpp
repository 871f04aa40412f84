#include "platform/CommandLine.h"

namespace ostrada::platform {

namespace {
bool IsBlank(char16_t c) { return c <= u' '; }
}  // namespace

std::u16string_view ArgumentText(std::u16string_view commandLine) {
    std::size_t i = 0;
    if (!commandLine.empty() && commandLine[0] == u'"') {
        const std::size_t close = commandLine.find(u'"', 1);
        i = close == std::u16string_view::npos ? commandLine.size() : close + 1;
    } else {
        while (i < commandLine.size() && !IsBlank(commandLine[i])) ++i;
    }
    while (i < commandLine.size() && IsBlank(commandLine[i])) ++i;
    return commandLine.substr(i);
}

}  // namespace ostrada::platform
