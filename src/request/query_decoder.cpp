#include "request/query_decoder.h"

#include <cstring>

#include "request/text_utils.h"
#include "text/hex_digit.h"
#include "text/utf8_valid.h"

namespace calvenor::request {
namespace {

// Byte length of the character starting at p[0]. Input that is not UTF-8 (never the
// case for text that came from a str) is taken one byte at a time.
size_t char_length(const unsigned char* p, size_t n) noexcept {
    const unsigned char b = p[0];
    size_t len = b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
    if (len > n) return 1;
    for (size_t k = 1; k < len; ++k) {
        if ((p[k] & 0xC0) != 0x80) return 1;
    }
    return len;
}

// Parses the characters taken by an escape as an unsigned hexadecimal byte: "h", "hh"
// or "+h". Returns -1 when they do not form one.
int escape_byte(std::string_view taken) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(taken.data());
    if (taken.size() == 1) return text::hex_value(p[0]);
    if (taken.size() != 2) return -1;
    const int lo = text::hex_value(p[1]);
    if (lo < 0) return -1;
    if (p[0] == '+') return lo;
    const int hi = text::hex_value(p[0]);
    return hi < 0 ? -1 : hi * 16 + lo;
}

// Rewrites the bytes in `buf` as their Latin-1 reading, in place, growing it backwards.
void latin1_in_place(std::string& buf) {
    size_t high = 0;
    for (const char c : buf) high += static_cast<unsigned char>(c) >> 7;
    size_t src = buf.size();
    buf.resize(buf.size() + high);
    size_t dst = buf.size();
    while (src > 0) {
        const auto c = static_cast<unsigned char>(buf[--src]);
        if (c < 0x80) {
            buf[--dst] = static_cast<char>(c);
        } else {
            buf[--dst] = static_cast<char>(0x80 | (c & 0x3F));
            buf[--dst] = static_cast<char>(0xC0 | (c >> 6));
        }
    }
}

bool needs_decoding(std::string_view s) noexcept {
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 0x80 || c == '+' || c == '%') return true;
    }
    return false;
}

}  // namespace

void decode_form_component(std::string_view utf8_text, std::string& out_utf8) {
    std::string& out = out_utf8;
    out.clear();
    out.reserve(utf8_text.size());
    const auto* p = reinterpret_cast<const unsigned char*>(utf8_text.data());
    const size_t n = utf8_text.size();
    size_t i = 0;
    while (i < n) {
        const unsigned char c = p[i];
        if (c == '+') {
            out.push_back(' ');
            ++i;
        } else if (c == '%') {
            ++i;
            // Take up to two characters, whatever they are.
            size_t end = i;
            for (int k = 0; k < 2 && end < n; ++k) end += char_length(p + end, n - end);
            const std::string_view taken = utf8_text.substr(i, end - i);
            const int byte = escape_byte(taken);
            if (byte >= 0) {
                out.push_back(static_cast<char>(byte));
            } else {
                out.push_back('%');
                out.append(taken);
            }
            i = end;
        } else if (c < 0x80) {
            out.push_back(static_cast<char>(c));
            ++i;
        } else {
            const size_t len = char_length(p + i, n - i);
            if (len == 2 && (c == 0xC2 || c == 0xC3)) {
                // U+0080..U+00FF: one byte of its own value.
                out.push_back(static_cast<char>(((c & 0x03) << 6) | (p[i + 1] & 0x3F)));
            } else {
                out.append(utf8_text.data() + i, len);
            }
            i += len;
        }
    }
    if (!text::utf8_valid(out)) latin1_in_place(out);
}

std::string_view decoded_form_component(std::string_view utf8_text, std::string& scratch) {
    if (!needs_decoding(utf8_text)) return utf8_text;
    decode_form_component(utf8_text, scratch);
    return scratch;
}

bool QuerySplitter::next(QueryPiece& piece) noexcept {
    while (!done_) {
        std::string_view current;
        const void* amp = std::memchr(rest_.data(), '&', rest_.size());
        if (amp == nullptr) {
            current = rest_;
            done_ = true;
        } else {
            const size_t at = static_cast<const char*>(amp) - rest_.data();
            current = rest_.substr(0, at);
            rest_.remove_prefix(at + 1);
        }
        const void* eq = std::memchr(current.data(), '=', current.size());
        if (eq == nullptr) continue;
        const size_t at = static_cast<const char*>(eq) - current.data();
        piece.name = current.substr(0, at);
        piece.value = current.substr(at + 1);
        return true;
    }
    return false;
}

}  // namespace calvenor::request
