// Byte-level text helpers shared by the request decoders: lossy UTF-8 decoding (same
// output as Python's bytes.decode("utf-8", "replace")) and ASCII case handling.
#pragma once
#include <string>
#include <string_view>

namespace calvenor::request {

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

}  // namespace calvenor::request
