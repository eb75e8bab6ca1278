// Runs the format matcher over cases read from stdin, one per line:
//   <element name> TAB <format text as hex digit pairs>
// and prints, per case, "ok" or the rejection message. Hex lets a case carry
// any byte; each text is copied into a buffer of exactly its length so that
// the address sanitizer catches a read past its end.
#include <iostream>
#include <memory>
#include <string>

#include "morvane/extension_frame/interpreter/format_match.hpp"

namespace {

const morvane::element_type* element_named(const std::string& name) {
    for (const morvane::element_type* element :
         {&morvane::const_float_element, &morvane::float_element, &morvane::double_element,
          &morvane::long_long_element, &morvane::const_unsigned_char_element}) {
        if (name == element->name) return element;
    }
    return nullptr;
}

std::string decode_hex(const std::string& hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return bytes;
}

}  // namespace

int main() {
    std::string line;
    while (std::getline(std::cin, line)) {
        const std::size_t tab = line.find('\t');
        const morvane::element_type* element = element_named(line.substr(0, tab));
        if (tab == std::string::npos || element == nullptr) {
            std::cerr << "bad case line: " << line << '\n';
            return 2;
        }
        const std::string format = decode_hex(line.substr(tab + 1));
        const std::unique_ptr<char[]> exact(new char[format.size()]);
        format.copy(exact.get(), format.size());
        const std::string message =
            morvane::match_buffer_format(*element, {exact.get(), format.size()});
        std::cout << (message.empty() ? "ok" : message) << '\n';
    }
    return 0;
}
