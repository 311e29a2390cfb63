#include <algorithm>
#include <chrono>
#include <string>

#include "check.h"
#include "json/json_parser.h"

using namespace calvenor::json;

// With the hash key in hand an attacker can aim every short string at one table slot; the
// probe bound must keep such a body as cheap to parse as ordinary text of the same size.
TEST(json_strings_aimed_at_one_slot_cost_no_more_than_ordinary_ones) {
    const HashKey key{{0x0123456789abcdefull, 42, 7, 0xfedcba9876543210ull}};
    std::string hostile = "[", benign = "[";
    size_t n_hostile = 0, n_benign = 0;
    for (uint64_t state = 88172645463325252ull; n_hostile < 20000 || n_benign < 20000;) {
        state ^= state << 13, state ^= state >> 7, state ^= state << 17;
        unsigned char s[8];
        for (int b = 0; b < 8; ++b) s[b] = static_cast<unsigned char>('a' + ((state >> (b * 4)) & 15));
        std::string item = "\"" + std::string(reinterpret_cast<char*>(s), 8) + "\",";
        if ((short_hash(key, s, 8) & 0xFF) == 0 && n_hostile < 20000) hostile += item, ++n_hostile;
        else if (n_benign < 20000) benign += item, ++n_benign;
    }
    hostile.back() = ']', benign.back() = ']';
    auto best_time = [&](const std::string& text, size_t& ids) {
        double best = 1e9;
        for (int round = 0; round < 5; ++round) {
            JsonDocument doc;
            auto t0 = std::chrono::steady_clock::now();
            CHECK(!parse_json(text, doc, ParseOptions{&key}));
            best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
            ids = doc.string_ids;
        }
        return best;
    };
    size_t hostile_ids = 0, benign_ids = 0;
    double ratio = best_time(hostile, hostile_ids) / best_time(benign, benign_ids);
    CHECK(hostile_ids < 64 && benign_ids > 19000);  // the aimed strings did meet the bound
    CHECK(ratio < 3);
}
