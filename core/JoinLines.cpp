#include "core/JoinLines.h"

#include "core/JoinLinesKernels.h"

#include <functional>

namespace ostrada::core {

std::size_t JoinLinesInPlace(char16_t* text, std::size_t length) {
    return kernels::BestKernel()(text, text, length);
}

void JoinLinesInPlace(std::u16string& text) {
    text.resize(JoinLinesInPlace(text.data(), text.size()));
}

namespace {

// Joins text into `into`, whose storage must not overlap the text.
void JoinInto(std::u16string_view text, std::u16string& into) {
    const kernels::Kernel join = kernels::BestKernel();
#if defined(__cpp_lib_string_resize_and_overwrite)
    // Joins straight into the string's buffer, without filling it first:
    // one pass. The size passed to the callback is not used: some library
    // versions pass the grown capacity there rather than the size asked for.
    into.resize_and_overwrite(text.size(), [&](char16_t* out, std::size_t) {
        return join(text.data(), out, text.size());
    });
#else
    into.resize(text.size());
    into.resize(join(text.data(), into.data(), text.size()));
#endif
}

}  // namespace

std::u16string JoinLines(std::u16string_view text) {
    std::u16string result;
    JoinInto(text, result);
    return result;
}

void JoinLines(std::u16string_view text, std::u16string& into) {
    const std::less<const char16_t*> before;
    const char16_t* storage = into.data();
    const bool overlaps = !text.empty() && before(text.data(), storage + into.capacity()) &&
                          before(storage, text.data() + text.size());
    if (overlaps) {
        into = JoinLines(text);
    } else {
        JoinInto(text, into);
    }
}

}  // namespace ostrada::core
