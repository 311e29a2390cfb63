// Strict UTF-8 well-formedness: no overlongs, no surrogates, nothing above U+10FFFF.
#pragma once
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace calvenor::text {

namespace utf8_detail {

// Shift-based DFA: a state is a bit offset (state number * 6); row[byte] holds every state's
// successor at that state's offset, so one step is a load, a shift and a mask with no branch.
enum : unsigned { kAccept, kReject, kTail1, kTail2, kTail3, kE0, kED, kF0, kF4, kStates };

constexpr unsigned next_state(unsigned state, unsigned b) {
    auto in = [b](unsigned lo, unsigned hi) { return b >= lo && b <= hi; };
    switch (state) {
        case kAccept:
            if (b < 0x80) return kAccept;
            if (in(0xC2, 0xDF)) return kTail1;
            if (b == 0xE0) return kE0;
            if (b == 0xED) return kED;
            if (in(0xE1, 0xEF)) return kTail2;
            if (b == 0xF0) return kF0;
            if (in(0xF1, 0xF3)) return kTail3;
            if (b == 0xF4) return kF4;
            return kReject;
        case kTail1: return in(0x80, 0xBF) ? kAccept : kReject;
        case kTail2: return in(0x80, 0xBF) ? kTail1 : kReject;
        case kTail3: return in(0x80, 0xBF) ? kTail2 : kReject;
        case kE0: return in(0xA0, 0xBF) ? kTail1 : kReject;
        case kED: return in(0x80, 0x9F) ? kTail1 : kReject;
        case kF0: return in(0x90, 0xBF) ? kTail2 : kReject;
        case kF4: return in(0x80, 0x8F) ? kTail2 : kReject;
        default: return kReject;
    }
}

constexpr std::array<uint64_t, 256> make_rows() {
    std::array<uint64_t, 256> rows{};
    for (unsigned b = 0; b < 256; ++b)
        for (unsigned s = 0; s < kStates; ++s) rows[b] |= uint64_t{next_state(s, b) * 6} << (s * 6);
    return rows;
}

inline constexpr std::array<uint64_t, 256> kRows = make_rows();

}  // namespace utf8_detail

inline bool utf8_valid(const unsigned char* s, size_t n) {
    using utf8_detail::kRows;
    constexpr uint64_t kHighBits = 0x8080808080808080ull;
    uint64_t state = 0;  // kAccept * 6
    size_t i = 0;
    if (n >= 64) {
        // Two halves split where a character starts, stepped together: each byte's step waits
        // on the one before, so two independent chains run nearly twice as fast.
        size_t mid = n / 2;
        for (int k = 0; (s[mid] & 0xC0) == 0x80; ++k, ++mid)
            if (k == 3) return false;  // four continuation bytes in a row
        uint64_t other = 0;
        const size_t both = std::min(mid, n - mid);
        for (; i + 8 <= both; i += 8) {
            uint64_t x, y;
            std::memcpy(&x, s + i, 8);
            std::memcpy(&y, s + mid + i, 8);
            if (((x | y) & kHighBits) == 0 && (state | other) == 0) continue;
            for (size_t k = i; k < i + 8; ++k) {
                state = (kRows[s[k]] >> state) & 63;
                other = (kRows[s[mid + k]] >> other) & 63;
            }
        }
        for (; i < both; ++i) {
            state = (kRows[s[i]] >> state) & 63;
            other = (kRows[s[mid + i]] >> other) & 63;
        }
        for (; i < mid; ++i) state = (kRows[s[i]] >> state) & 63;
        for (; mid + i < n; ++i) other = (kRows[s[mid + i]] >> other) & 63;
        return state == 0 && other == 0;
    }
    for (;;) {
        // Between characters ASCII changes nothing: skip it, 16 bytes a round and then
        // one more word, since most text is mostly ASCII.
        for (uint64_t a, b; i + 16 <= n; i += 16) {
            std::memcpy(&a, s + i, 8);
            std::memcpy(&b, s + i + 8, 8);
            if ((a | b) & kHighBits) break;
        }
        if (i + 8 <= n) {
            uint64_t a;
            std::memcpy(&a, s + i, 8);
            if ((a & kHighBits) == 0) i += 8;
        }
        if (i + 8 > n) break;
        // Then whole words through the DFA until one ends between characters.
        do {
            for (size_t k = 0; k < 8; ++k) state = (kRows[s[i + k]] >> state) & 63;
            i += 8;
        } while (state != 0 && i + 8 <= n);
        if (state != 0) break;
    }
    for (; i < n; ++i) state = (kRows[s[i]] >> state) & 63;
    return state == 0;
}

inline bool utf8_valid(std::string_view bytes) {
    return utf8_valid(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

}  // namespace calvenor::text
