// Format matching, table-driven: one table says what every item code means,
// and a single left-to-right pass reads the text against it. The text may
// come from any exporter, so every read is bounds-checked against the text's
// length; nothing relies on a terminating NUL.
#include "format_match.hpp"

#include <cstdint>
#include <limits>
#include <utility>

namespace morvane {
namespace {

struct item_code {
    std::string_view code;
    item_kind kind;
    std::size_t native_size;
    std::size_t standard_size;  // 0: the code has no standard size
    const char* description;
};

constexpr item_code item_codes[] = {
    {"?", item_kind::unsigned_integer, 1, 1, "'bool'"},
    {"c", item_kind::character, 1, 1, "'char'"},
    {"b", item_kind::signed_integer, 1, 1, "'signed char'"},
    {"B", item_kind::unsigned_integer, 1, 1, "'unsigned char'"},
    {"h", item_kind::signed_integer, 2, 2, "'short'"},
    {"H", item_kind::unsigned_integer, 2, 2, "'unsigned short'"},
    {"i", item_kind::signed_integer, 4, 4, "'int'"},
    {"I", item_kind::unsigned_integer, 4, 4, "'unsigned int'"},
    {"l", item_kind::signed_integer, 8, 4, "'long'"},
    {"L", item_kind::unsigned_integer, 8, 4, "'unsigned long'"},
    {"q", item_kind::signed_integer, 8, 8, "'long long'"},
    {"Q", item_kind::unsigned_integer, 8, 8, "'unsigned long long'"},
    {"f", item_kind::real, 4, 4, "'float'"},
    {"d", item_kind::real, 8, 8, "'double'"},
    {"g", item_kind::real, 16, 0, "'long double'"},
    {"Zf", item_kind::complex, 8, 8, "'complex float'"},
    {"Zd", item_kind::complex, 16, 16, "'complex double'"},
    {"Zg", item_kind::complex, 32, 0, "'complex long double'"},
    {"O", item_kind::object, 8, 8, "Python object"},
    {"s", item_kind::signed_integer, 1, 1, "a string"},
    {"p", item_kind::signed_integer, 1, 1, "a string"},
};

// The entry whose code starts `rest`, or null.
const item_code* find_item_code(std::string_view rest) {
    for (const item_code& entry : item_codes) {
        if (rest.substr(0, entry.code.size()) == entry.code) return &entry;
    }
    return nullptr;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Characters that can neither start an item nor stand after a repeat count:
// a count must be followed directly by what it repeats.
bool is_separator(char c) {
    return std::string_view(" \r\n@^=<>!:}(").find(c) != std::string_view::npos;
}

// A byte of the text as it may appear in a message: the character whose code
// point is the byte's value, UTF-8 encoded, so that the message is valid
// UTF-8 whatever the exporter wrote.
std::string quoted_character(char c) {
    const auto byte = static_cast<unsigned char>(c);
    std::string quoted = "'";
    if (byte < 0x80) {
        quoted += c;
    } else {
        quoted += static_cast<char>(0xC0 | (byte >> 6));
        quoted += static_cast<char>(0x80 | (byte & 0x3F));
    }
    return quoted + "'";
}

std::string unexpected_character(char c) {
    return "Unexpected format string character: " + quoted_character(c);
}

std::string dtype_mismatch(const std::string& expected, const char* got) {
    return "Buffer dtype mismatch, expected " + expected + " but got " + got;
}

class format_matcher {
public:
    format_matcher(const element_type& element, std::string_view text)
        : element_(element), text_(text) {}

    // Empty when the text describes exactly one element; otherwise the reason.
    std::string run() {
        while (!at_end()) {
            if (!read_next()) return error_;
        }
        check_complete();
        return error_;
    }

private:
    bool at_end() const { return position_ == text_.size(); }
    char current() const { return text_[position_]; }

    bool fail(std::string message) {
        error_ = std::move(message);
        return false;
    }

    // Reads one piece of the text; false once the text has been rejected.
    bool read_next() {
        switch (current()) {
            case ' ':
            case '\r':
            case '\n':
                ++position_;
                return true;
            case '@':
            case '^':
                standard_sizes_ = false;
                ++position_;
                return true;
            case '=':
            case '<':
                standard_sizes_ = true;
                ++position_;
                return true;
            case '>':
            case '!':
                return fail("Big-endian buffer not supported on little-endian compiler");
            case ':':
                return skip_field_name();
            case '}':
                return close_structure();
            case '(':
                return reject_sub_array_shape();
            default:
                return read_repeated();
        }
    }

    bool skip_field_name() {
        const std::size_t closing = text_.find(':', position_ + 1);
        if (closing == std::string_view::npos) {
            return fail("Buffer acquisition: Expected ':' to end the field name");
        }
        position_ = closing + 1;
        return true;
    }

    bool close_structure() {
        if (open_structures_ == 0)
            return fail("Buffer acquisition: Unexpected '}' outside a structure");
        --open_structures_;
        ++position_;
        return true;
    }

    // An element has no sub-array shape: a well-formed shape "(n,...)" is
    // reported by its number of dimensions, anything else as malformed.
    bool reject_sub_array_shape() {
        const char* malformed = "Buffer acquisition: Malformed sub-array shape";
        int dimensions = 0;
        do {
            ++position_;  // past '(' or ','
            if (at_end() || !is_digit(current())) return fail(malformed);
            skip_digits();
            ++dimensions;
        } while (!at_end() && current() == ',');
        if (at_end() || current() != ')') return fail(malformed);
        return fail("Expected 0 dimension(s), got " + std::to_string(dimensions));
    }

    void skip_digits() {
        while (!at_end() && is_digit(current())) ++position_;
    }

    // A pad run, a structure or an item, with its optional repeat count.
    bool read_repeated() {
        std::uint32_t count = 1;
        if (is_digit(current())) {
            if (!read_count(count)) return false;
            if (at_end() || is_separator(current())) {
                return fail("Buffer acquisition: Expected an item after the repeat count");
            }
        }
        switch (current()) {
            case 'x':
                return skip_pad(count);
            case 'T':
                return open_structure(count);
            default:
                return read_item(count);
        }
    }

    // A count beyond the 32-bit signed range is rejected, never wrapped.
    bool read_count(std::uint32_t& count) {
        constexpr std::uint32_t largest = std::numeric_limits<std::int32_t>::max();
        count = 0;
        while (!at_end() && is_digit(current())) {
            const std::uint32_t digit = static_cast<std::uint32_t>(current() - '0');
            if (count > (largest - digit) / 10) {
                return fail("Buffer acquisition: repeat count too large");
            }
            count = count * 10 + digit;
            ++position_;
        }
        return true;
    }

    // Padding after the element only widens the item, which the item-size
    // check judges; padding before it moves the element off offset 0.
    bool skip_pad(std::uint32_t count) {
        if (count != 0 && !element_seen_) {
            return fail("Buffer dtype mismatch; next field is at offset " + std::to_string(count) +
                        " but 0 expected");
        }
        ++position_;
        return true;
    }

    // A structure is read as its members; repeating it would repeat them.
    bool open_structure(std::uint32_t count) {
        ++position_;
        if (at_end() || current() != '{') return fail("Buffer acquisition: Expected '{' after 'T'");
        if (count != 1) return fail("Buffer acquisition: Repeated structure not supported");
        ++open_structures_;
        ++position_;
        return true;
    }

    bool read_item(std::uint32_t count) {
        const item_code* item = find_item_code(text_.substr(position_));
        if (item == nullptr) {
            if (current() == 'Z') return fail(unexpected_character('Z'));
            return fail("Does not understand character buffer dtype format string (" +
                        quoted_character(current()) + ")");
        }
        const std::size_t size = standard_sizes_ ? item->standard_size : item->native_size;
        if (size == 0) return fail(unexpected_character(item->code.back()));
        if (element_seen_) return fail(dtype_mismatch("end", item->description));
        if (!matches_element(*item, size)) {
            return fail(dtype_mismatch(quoted_element_name(), item->description));
        }
        if (count != 1) return fail(dtype_mismatch("end", item->description));
        element_seen_ = true;
        position_ += item->code.size();
        return true;
    }

    bool matches_element(const item_code& item, std::size_t size) const {
        return size == element_.size &&
               (item.kind == element_.kind || item.kind == item_kind::character);
    }

    std::string quoted_element_name() const { return "'" + std::string(element_.name) + "'"; }

    void check_complete() {
        if (open_structures_ != 0) {
            fail("Buffer acquisition: Expected '}' to close the structure");
        } else if (!element_seen_) {
            fail(dtype_mismatch(quoted_element_name(), "end"));
        }
    }

    const element_type& element_;
    std::string_view text_;
    std::size_t position_ = 0;
    bool standard_sizes_ = false;
    bool element_seen_ = false;
    std::size_t open_structures_ = 0;
    std::string error_;
};

}  // namespace

std::string match_buffer_format(const element_type& element, std::string_view format) {
    return format_matcher(element, format).run();
}

}  // namespace morvane
