// libFuzzer harness for the buffer-format matcher.
//
// Input: the first byte picks the expected element, the remaining bytes are
// the format text, copied into a heap buffer of exactly their length so that
// the address sanitizer catches any read past its end.
//
// Beyond memory safety the harness checks the matcher against a reference
// recogniser written here independently and as plainly as possible: the
// matcher must accept exactly the texts the reference accepts, and every
// rejection must be a valid UTF-8 message of a known family.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "morvane/extension_frame/interpreter/format_match.hpp"

namespace {

using morvane::element_type;

const element_type* const elements[] = {
    &morvane::const_float_element,
    &morvane::float_element,
    &morvane::double_element,
    &morvane::long_long_element,
    &morvane::const_unsigned_char_element,
};

// --- Reference recogniser -------------------------------------------------
//
// The text is first cut into tokens (items, pads, structure braces), dropping
// whitespace, size marks and field names; anything that cannot be cut so is
// rejected. The tokens are then checked against the accepted form: exactly
// one item, accepted for the element under the size mark in force, repeated
// once; only empty pad runs before it; structures balanced and not repeated.

struct token {
    char kind;            // 'i' item, 'x' pad, '{' structure opening, '}' closing
    std::string code;     // the item code, for items
    bool counted;         // whether a repeat count was written
    std::string digits;   // the count's digits without leading zeros ("" for 0)
    bool standard_sizes;  // the size mark in force, for items

    bool once() const { return !counted || digits == "1"; }
    bool empty_run() const { return counted && digits.empty(); }
};

// Per element, the item codes accepted under native sizes and under standard
// sizes: the acceptance table of the matcher's documentation.
struct acceptance {
    const element_type* element;
    std::vector<std::string> native_codes;
    std::vector<std::string> standard_codes;
};

const acceptance acceptance_table[] = {
    {&morvane::const_float_element, {"f"}, {"f"}},
    {&morvane::float_element, {"f"}, {"f"}},
    {&morvane::double_element, {"d"}, {"d"}},
    {&morvane::long_long_element, {"l", "q"}, {"q"}},
    {&morvane::const_unsigned_char_element, {"B", "?", "c"}, {"B", "?", "c"}},
};

bool contains(const std::vector<std::string>& codes, const std::string& code) {
    for (const std::string& candidate : codes) {
        if (candidate == code) return true;
    }
    return false;
}

bool accepted_item(const element_type& element, const token& item) {
    for (const acceptance& row : acceptance_table) {
        if (row.element == &element) {
            return contains(item.standard_sizes ? row.standard_codes : row.native_codes, item.code);
        }
    }
    return false;
}

const std::string_view single_codes = "?cbBhHiIlLqQfdgOsp";
const std::string_view complex_codes = "fdg";  // the codes that may follow 'Z'

// Cuts the text into tokens; false when the text has no valid cut.
bool tokenize(std::string_view text, std::vector<token>& tokens) {
    bool standard_sizes = false;
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == ' ' || c == '\r' || c == '\n') {
            ++i;
            continue;
        }
        if (c == '@' || c == '^' || c == '=' || c == '<') {
            standard_sizes = (c == '=' || c == '<');
            ++i;
            continue;
        }
        if (c == ':') {
            const std::size_t end = text.find(':', i + 1);
            if (end == std::string_view::npos) return false;
            i = end + 1;
            continue;
        }
        if (c == '}') {
            tokens.push_back({'}', "", false, "", false});
            ++i;
            continue;
        }
        token next{'i', "", false, "", standard_sizes};
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
            next.counted = true;
            if (!(next.digits.empty() && text[i] == '0')) next.digits += text[i];
        }
        if (i == text.size()) return false;
        if (text[i] == 'x') {
            next.kind = 'x';
            i += 1;
        } else if (text[i] == 'T') {
            if (i + 1 == text.size() || text[i + 1] != '{') return false;
            next.kind = '{';
            i += 2;
        } else if (text[i] == 'Z' && i + 1 < text.size() &&
                   complex_codes.find(text[i + 1]) != std::string_view::npos) {
            next.code = std::string(text.substr(i, 2));
            i += 2;
        } else if (single_codes.find(text[i]) != std::string_view::npos) {
            next.code = std::string(1, text[i]);
            i += 1;
        } else {
            return false;
        }
        tokens.push_back(next);
    }
    return true;
}

bool fits_32_bits(const std::string& digits) {
    return digits.size() < 10 || (digits.size() == 10 && digits <= "2147483647");
}

bool reference_accepts(const element_type& element, std::string_view text) {
    std::vector<token> tokens;
    if (!tokenize(text, tokens)) return false;
    int items = 0;
    int depth = 0;
    for (const token& t : tokens) {
        if (!fits_32_bits(t.digits)) return false;
        switch (t.kind) {
            case 'i':
                if (++items > 1 || !t.once() || !accepted_item(element, t)) return false;
                break;
            case 'x':
                if (items == 0 && !t.empty_run()) return false;
                break;
            case '{':
                if (!t.once()) return false;
                ++depth;
                break;
            case '}':
                if (--depth < 0) return false;
                break;
        }
    }
    return items == 1 && depth == 0;
}

// --- Rejection messages ---------------------------------------------------

// The length of the UTF-8 sequence that `lead` starts, 0 when it starts none.
std::size_t utf8_sequence_length(unsigned char lead) {
    if (lead < 0x80) return 1;
    if ((lead & 0xE0) == 0xC0) return 2;
    if ((lead & 0xF0) == 0xE0) return 3;
    if ((lead & 0xF8) == 0xF0) return 4;
    return 0;
}

bool valid_utf8(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = utf8_sequence_length(static_cast<unsigned char>(text[i]));
        if (length == 0 || i + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        }
        i += length;
    }
    return true;
}

bool known_message(const std::string& message) {
    static const std::string_view families[] = {
        "Buffer dtype mismatch, expected ",
        "Buffer dtype mismatch; next field is at offset ",
        "Big-endian buffer not supported on little-endian compiler",
        "Unexpected format string character: '",
        "Does not understand character buffer dtype format string ('",
        "Expected 0 dimension(s), got ",
        "Buffer acquisition: ",
    };
    for (std::string_view family : families) {
        if (message.compare(0, family.size(), family) == 0) return true;
    }
    return false;
}

void require(bool holds, const char* what, std::string_view text, const std::string& message) {
    if (holds) return;
    std::fprintf(stderr, "contract broken: %s\nformat (%zu bytes): ", what, text.size());
    for (char c : text) std::fprintf(stderr, "%02x", static_cast<unsigned char>(c));
    std::fprintf(stderr, "\nmessage: %s\n", message.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const element_type& element = *elements[data[0] % std::size(elements)];
    const std::size_t length = size - 1;
    const std::unique_ptr<char[]> exact(new char[length]);
    std::copy(data + 1, data + size, exact.get());
    const std::string_view text(exact.get(), length);

    const std::string message = morvane::match_buffer_format(element, text);
    const bool accepted = message.empty();
    require(accepted == reference_accepts(element, text),
            accepted ? "accepted a text the reference rejects"
                     : "rejected a text the reference accepts",
            text, message);
    if (!accepted) {
        require(valid_utf8(message), "message is not valid UTF-8", text, message);
        require(known_message(message), "message of no known family", text, message);
    }
    return 0;
}
