#include "json/json_short_hash.h"

#include <sys/random.h>

#include <chrono>

namespace calvenor::json {
namespace {

HashKey draw_key() {
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
            k ^= short_hash_detail::mix(seed, 0xD6E8FEB86659FD93ull);
        }
    }
    return key;
}

}  // namespace

const HashKey& process_hash_key() {
    static const HashKey key = draw_key();
    return key;
}

}  // namespace calvenor::json
