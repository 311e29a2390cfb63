// Single-header lookup over the raw pairs: a linear scan that allocates nothing.
#pragma once
#include <string_view>

#include "module/convert.h"

namespace calvenor::request {

// The first pair whose name equals `name` byte for byte after lowercasing A-Z on both
// sides (bytes >= 128 must be identical), or nullptr.
inline const HeaderPair* find_header(const HeaderList& headers, std::string_view name) noexcept {
    const size_t n = name.size();
    for (const HeaderPair& pair : headers) {
        const std::string& candidate = pair.first;
        if (candidate.size() != n) continue;
        size_t i = 0;
        for (; i < n; ++i) {
            // Only A-Z fold; every other byte, UTF-8 included, must match exactly.
            char a = candidate[i], b = name[i];
            if (a == b) continue;
            char la = (a >= 'A' && a <= 'Z') ? char(a | 0x20) : a;
            char lb = (b >= 'A' && b <= 'Z') ? char(b | 0x20) : b;
            if (la != lb) break;
        }
        if (i == n) return &pair;
    }
    return nullptr;
}

}  // namespace calvenor::request
