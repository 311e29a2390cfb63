// Byte-level text helpers shared by the request decoders: UTF-8 validation, lossy UTF-8
// decoding (same output as Python's bytes.decode("utf-8", "replace")), ASCII case
// handling and trimming of Unicode White_Space.
#pragma once
#include <string>
#include <string_view>

namespace calvenor::request {

bool is_valid_utf8(std::string_view bytes);

// Appends `bytes` decoded as UTF-8, with each maximal invalid subsequence replaced by
// U+FFFD.
void append_lossy_utf8(std::string& out, std::string_view bytes);

// `bytes` itself when it is valid UTF-8, otherwise its lossy decoding stored in `scratch`
// (which is overwritten). The result lives as long as both.
std::string_view lossy_utf8(std::string_view bytes, std::string& scratch);

// Appends `bytes` read as Latin-1 (every byte is the code point of the same value).
void append_latin1_as_utf8(std::string& out, std::string_view bytes);

constexpr char ascii_lower(char c) noexcept {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Lowercases A-Z only; every other byte is left alone.
void ascii_lower_in_place(std::string& s) noexcept;

// Equal byte lengths and equal bytes after ASCII-lowercasing both sides.
bool ascii_iequals(std::string_view a, std::string_view b) noexcept;

// Removes every character with the Unicode White_Space property from both ends of
// UTF-8 text.
std::string_view trim_unicode_ws(std::string_view utf8) noexcept;

// Value of one hexadecimal digit (0-9, a-f, A-F), or -1.
constexpr int hex_value(unsigned char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace calvenor::request
