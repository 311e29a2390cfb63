// libFuzzer target: query decoding never crashes, always yields valid UTF-8, and agrees
// with a slow code-point-by-code-point reference of the same rules.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "request/query_decoder.h"
#include "request/text_utils.h"
#include "text/utf8_valid.h"

using namespace calvenor::request;

namespace {

#define FUZZ_ASSERT(c)              \
    do {                            \
        if (!(c)) std::abort();     \
    } while (0)

std::vector<char32_t> code_points(std::string_view utf8) {
    std::vector<char32_t> out;
    for (size_t i = 0; i < utf8.size();) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        const size_t len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
        char32_t cp = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
        for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        out.push_back(cp);
        i += len;
    }
    return out;
}

void put_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

int hex(char32_t c) {
    if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
    return -1;
}

std::string reference_decode(std::string_view text) {
    const auto cps = code_points(text);
    std::string bytes;
    for (size_t i = 0; i < cps.size(); ++i) {
        const char32_t c = cps[i];
        if (c == '+') {
            bytes.push_back(' ');
        } else if (c == '%') {
            const size_t take = std::min<size_t>(2, cps.size() - i - 1);
            int value = -1;
            if (take == 1) value = hex(cps[i + 1]);
            if (take == 2 && hex(cps[i + 2]) >= 0) {
                if (cps[i + 1] == '+') value = hex(cps[i + 2]);
                else if (hex(cps[i + 1]) >= 0) value = hex(cps[i + 1]) * 16 + hex(cps[i + 2]);
            }
            if (value >= 0) {
                bytes.push_back(static_cast<char>(value));
            } else {
                bytes.push_back('%');
                for (size_t k = 1; k <= take; ++k) put_utf8(bytes, cps[i + k]);
            }
            i += take;
        } else if (c < 0x100) {
            bytes.push_back(static_cast<char>(c));
        } else {
            put_utf8(bytes, c);
        }
    }
    if (calvenor::text::utf8_valid(bytes)) return bytes;
    std::string latin1;
    for (const char b : bytes) put_utf8(latin1, static_cast<unsigned char>(b));
    return latin1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Stored query strings are always UTF-8 text.
    std::string text;
    append_lossy_utf8(text, std::string_view(reinterpret_cast<const char*>(data), size));
    FUZZ_ASSERT(calvenor::text::utf8_valid(text));

    std::string full, scratch;
    decode_form_component(text, full);
    FUZZ_ASSERT(calvenor::text::utf8_valid(full));
    FUZZ_ASSERT(full == reference_decode(text));
    FUZZ_ASSERT(decoded_form_component(text, scratch) == full);

    QuerySplitter pieces(text);
    QueryPiece piece;
    size_t covered = 0;
    while (pieces.next(piece)) {
        FUZZ_ASSERT(piece.name.data() >= text.data() && piece.value.data() + piece.value.size() <= text.data() + text.size());
        FUZZ_ASSERT(piece.name.find('&') == std::string_view::npos && piece.name.find('=') == std::string_view::npos);
        FUZZ_ASSERT(piece.value.find('&') == std::string_view::npos);
        FUZZ_ASSERT(piece.name.data() >= text.data() + covered);
        covered = static_cast<size_t>(piece.value.data() + piece.value.size() - text.data());
        FUZZ_ASSERT(calvenor::text::utf8_valid(decoded_form_component(piece.name, scratch)));
        FUZZ_ASSERT(calvenor::text::utf8_valid(decoded_form_component(piece.value, scratch)));
    }
    return 0;
}
