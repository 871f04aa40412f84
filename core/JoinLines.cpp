#include "core/JoinLines.h"

#include "core/JoinLinesKernels.h"

namespace ostrada::core {

std::size_t JoinLinesInPlace(char16_t* text, std::size_t length) {
    return kernels::BestKernel()(text, text, length);
}

void JoinLinesInPlace(std::u16string& text) {
    text.resize(JoinLinesInPlace(text.data(), text.size()));
}

std::u16string JoinLines(std::u16string_view text) {
    const kernels::Kernel join = kernels::BestKernel();
    std::u16string result;
#if defined(__cpp_lib_string_resize_and_overwrite)
    // Joins straight into the new string's uninitialised buffer: one pass.
    // The size passed to the callback is not used: some library versions
    // pass the grown capacity there rather than the size asked for.
    result.resize_and_overwrite(text.size(), [&](char16_t* out, std::size_t) {
        return join(text.data(), out, text.size());
    });
#else
    result.resize(text.size());
    result.resize(join(text.data(), result.data(), text.size()));
#endif
    return result;
}

}  // namespace ostrada::core
