// Keyed hash of short byte strings (up to 32 bytes) for the decoder's string tables. The key
// is drawn from the OS once per process, so colliding inputs cannot be computed offline; the
// tables still bound their probing, which holds even if the key were known.
#pragma once
#include <sys/random.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace calvenor::json {

struct HashKey {
    uint64_t k[4];
};

namespace short_hash_detail {

inline uint64_t le64(const unsigned char* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

inline uint64_t le32(const unsigned char* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// Folded 128-bit product: the high half carries every input bit into each result bit.
inline uint64_t mix(uint64_t a, uint64_t b) {
    unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
    return static_cast<uint64_t>(r) ^ static_cast<uint64_t>(r >> 64);
}

inline HashKey draw_key() {
    HashKey key{};
    auto* out = reinterpret_cast<unsigned char*>(key.k);
    size_t got = 0;
    while (got < sizeof key.k) {
        ssize_t r = getrandom(out + got, sizeof key.k - got, 0);
        if (r <= 0) break;
        got += static_cast<size_t>(r);
    }
    if (got < sizeof key.k) {
        // No getrandom (very old kernel): address-space layout and the clock still vary
        // between processes; the probe bounds keep the tables safe regardless.
        uint64_t seed = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                        reinterpret_cast<uintptr_t>(&key) ^ reinterpret_cast<uintptr_t>(&draw_key);
        for (uint64_t& k : key.k) {
            seed += 0x9E3779B97F4A7C15ull;
            k ^= mix(seed, 0xD6E8FEB86659FD93ull);
        }
    }
    return key;
}

}  // namespace short_hash_detail

// The process's key: random bytes from getrandom(2), drawn on first use.
inline const HashKey& process_hash_key() {
    static const HashKey key = short_hash_detail::draw_key();
    return key;
}

// n <= 32. Loads overlap rather than pad, so each length reads every byte exactly as given.
inline uint64_t short_hash(const HashKey& key, const unsigned char* p, size_t n) {
    using namespace short_hash_detail;
    uint64_t a = 0, b = 0;
    if (n > 16) {
        uint64_t s = mix(le64(p) ^ key.k[2], le64(p + 8) ^ key.k[3]);
        a = le64(p + n - 16) ^ s;
        b = le64(p + n - 8);
    } else if (n >= 8) {
        a = le64(p);
        b = le64(p + n - 8);
    } else if (n >= 4) {
        a = le32(p) << 32 | le32(p + n - 4);
    } else if (n > 0) {
        a = uint64_t{p[0]} << 16 | uint64_t{p[n / 2]} << 8 | p[n - 1];
    }
    return mix(a ^ key.k[0], b ^ key.k[1] ^ n);
}

// Byte equality of two runs of n <= 32 bytes, without a libc call.
inline bool short_equal(const unsigned char* a, const unsigned char* b, size_t n) {
    if (n >= 8) {
        for (size_t i = 0; i + 8 < n; i += 8)
            if (short_hash_detail::le64(a + i) != short_hash_detail::le64(b + i)) return false;
        return short_hash_detail::le64(a + n - 8) == short_hash_detail::le64(b + n - 8);
    }
    if (n >= 4) {
        uint32_t x, y, u, v;
        std::memcpy(&x, a, 4);
        std::memcpy(&y, b, 4);
        std::memcpy(&u, a + n - 4, 4);
        std::memcpy(&v, b + n - 4, 4);
        return x == y && u == v;
    }
    for (size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return false;
    return true;
}

}  // namespace calvenor::json
