// Line joining: every CR LF in a UTF-16 text becomes one SPACE. Nothing
// else changes, and the output is shorter than the input by exactly the
// number of CR LF pairs.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace ostrada::core {

// Returns the joined text; the input is left as it is.
std::u16string JoinLines(std::u16string_view text);

// Puts the joined text in `into`, replacing what it held and reusing its
// storage when that is large enough: for callers that join text after text.
// `text` may be a view of `into` itself.
void JoinLines(std::u16string_view text, std::u16string& into);

// Joins text[0, length) where it stands and returns the new length. The
// code units from the new length on are left unspecified.
std::size_t JoinLinesInPlace(char16_t* text, std::size_t length);

// Joins the string where it stands and shrinks it to the joined length.
void JoinLinesInPlace(std::u16string& text);

}  // namespace ostrada::core
