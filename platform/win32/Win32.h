// The one way this project includes the Windows headers.
#pragma once

#ifndef STRICT
#define STRICT
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <windowsx.h>

#include <string>
#include <string_view>

namespace ostrada::platform::win32 {

// UTF-16 text as the W functions take it. On Windows wchar_t and char16_t
// are both 16-bit code units.
inline const wchar_t* Wide(const std::u16string& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

inline std::wstring WideString(std::u16string_view text) {
    return std::wstring(reinterpret_cast<const wchar_t*>(text.data()), text.size());
}

}  // namespace ostrada::platform::win32
