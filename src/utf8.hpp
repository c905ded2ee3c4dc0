// UTF-8 validation of untrusted bytes.
#pragma once

#include <cstddef>
#include <string_view>

namespace korvane {

// True when `text` is well-formed UTF-8: no overlong forms, no surrogates
// (U+D800..U+DFFF), nothing above U+10FFFF, no stray or missing continuation
// bytes. Pure ASCII runs are checked eight bytes at a time.
bool is_valid_utf8(std::string_view text);

}  // namespace korvane
