// Matching a buffer's struct-syntax format text against an expected element.
//
// Pure C++ (no interpreter): it can be tested and fuzzed on its own. The
// interpreter boundary raises ValueError with the returned message.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace morvane {

enum class item_kind { signed_integer, unsigned_integer, real, complex, character, object };

// The element a typed view exposes, as named in messages.
struct element_type {
    const char* name;
    std::size_t size;
    item_kind kind;
};

inline constexpr element_type const_float_element{"const float", 4, item_kind::real};
inline constexpr element_type float_element{"float", 4, item_kind::real};
inline constexpr element_type double_element{"double", 8, item_kind::real};
inline constexpr element_type long_long_element{"long long", 8, item_kind::signed_integer};
inline constexpr element_type const_unsigned_char_element{"const unsigned char", 1,
                                                          item_kind::unsigned_integer};

// Empty when `format` describes exactly one `element`; otherwise the text of
// the ValueError to raise. Never reads outside `format`.
std::string match_buffer_format(const element_type& element, std::string_view format);

}  // namespace morvane
