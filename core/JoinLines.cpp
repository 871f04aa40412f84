#include "core/JoinLines.h"

namespace ostrada::core {

std::size_t JoinLinesInPlace(char16_t* text, std::size_t length) {
    std::size_t out = 0;
    std::size_t in = 0;
    while (in < length) {
        if (text[in] == u'\r' && in + 1 < length && text[in + 1] == u'\n') {
            text[out++] = u' ';
            in += 2;
        } else {
            text[out++] = text[in++];
        }
    }
    return out;
}

void JoinLinesInPlace(std::u16string& text) {
    text.resize(JoinLinesInPlace(text.data(), text.size()));
}

std::u16string JoinLines(std::u16string_view text) {
    std::u16string result(text);
    JoinLinesInPlace(result);
    return result;
}

}  // namespace ostrada::core
