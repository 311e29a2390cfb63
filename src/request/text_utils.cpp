#include "request/text_utils.h"

#include <cstdint>
#include <cstring>

#include "text/utf8_valid.h"

namespace calvenor::request {
namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

// Length of the run of ASCII bytes at the start of [p, p + n).
size_t ascii_prefix(const unsigned char* p, size_t n) noexcept {
    size_t i = 0;
    while (i + 8 <= n) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        if (w & kHighBits) break;
        i += 8;
    }
    while (i < n && p[i] < 0x80) ++i;
    return i;
}

// Examines the sequence starting at a non-ASCII byte p[0] (n >= 1 bytes available).
// Returns its length when it is a well-formed sequence, otherwise 0 and sets `bad` to
// the length of its maximal subpart (the prefix that one U+FFFD replaces).
size_t well_formed_length(const unsigned char* p, size_t n, size_t& bad) noexcept {
    const unsigned char b0 = p[0];
    size_t need;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 3;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;  // no surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 4;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
        bad = 1;
        return 0;
    }
    if (n < 2 || p[1] < lo || p[1] > hi) {
        bad = 1;
        return 0;
    }
    for (size_t k = 2; k < need; ++k) {
        if (k >= n || (p[k] & 0xC0) != 0x80) {
            bad = k;
            return 0;
        }
    }
    return need;
}

}  // namespace

void append_lossy_utf8(std::string& out, std::string_view bytes) {
    static constexpr char kReplacement[] = "\xEF\xBF\xBD";
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t n = bytes.size();
    size_t i = 0;
    while (i < n) {
        const size_t run = ascii_prefix(p + i, n - i);
        size_t j = i + run;
        // Extend the run over well-formed multi-byte sequences so that it is copied at once.
        size_t bad = 0;
        while (j < n) {
            if (p[j] < 0x80) {
                ++j;
                continue;
            }
            const size_t len = well_formed_length(p + j, n - j, bad);
            if (len == 0) break;
            j += len;
        }
        out.append(bytes.data() + i, j - i);
        if (j >= n) return;
        out.append(kReplacement, 3);
        i = j + bad;
    }
}

std::string_view lossy_utf8(std::string_view bytes, std::string& scratch) {
    if (text::utf8_valid(bytes)) return bytes;
    scratch.clear();
    append_lossy_utf8(scratch, bytes);
    return scratch;
}

void append_latin1_as_utf8(std::string& out, std::string_view bytes) {
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out.push_back(ch);
        } else {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
}

void ascii_lower_in_place(std::string& s) noexcept {
    for (char& c : s) c = ascii_lower(c);
}

bool ascii_iequals(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    }
    return true;
}

}  // namespace calvenor::request
