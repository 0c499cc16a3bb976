#pragma once
// UTF-8 checks used on every command line before it is decoded.

#include <string_view>

namespace vantor::utf8 {

// Strict validation: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValid(std::string_view bytes);

// Removes Unicode white space and line breaks (tab, LF, VT, FF, CR, NEL,
// the space separators, U+2028 and U+2029) from both ends of valid UTF-8.
std::string_view trim(std::string_view text);

}  // namespace vantor::utf8
