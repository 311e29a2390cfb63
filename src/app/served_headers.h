// What the served path needs from a request's header names: which ones mean a body may
// follow, and which ones CORS reads. Names arrive lowercased from the server. Pure C++.
#pragma once

#include <string_view>

namespace calvenor {

enum class HeaderRole { kOther, kBodyFraming, kOrigin, kPreflightMethod };

constexpr HeaderRole header_role(std::string_view name) noexcept {
    // Sorted out by length first: most names are none of these and cost one compare.
    switch (name.size()) {
        case 6:
            return name == "origin" ? HeaderRole::kOrigin : HeaderRole::kOther;
        case 14:
            return name == "content-length" ? HeaderRole::kBodyFraming : HeaderRole::kOther;
        case 17:
            return name == "transfer-encoding" ? HeaderRole::kBodyFraming : HeaderRole::kOther;
        case 29:
            return name == "access-control-request-method" ? HeaderRole::kPreflightMethod : HeaderRole::kOther;
        default:
            return HeaderRole::kOther;
    }
}

constexpr bool is_ascii(std::string_view text) noexcept {
    for (unsigned char c : text)
        if (c >= 0x80) return false;
    return true;
}

}  // namespace calvenor
