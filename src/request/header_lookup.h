// Single-header lookup over the raw pairs: a linear scan that allocates nothing.
#pragma once
#include <string_view>

#include "module/convert.h"
#include "request/text_utils.h"

namespace calvenor::request {

// The first pair whose name equals `name` byte for byte after lowercasing A-Z on both
// sides (bytes >= 128 must be identical), or nullptr.
inline const HeaderPair* find_header(const HeaderList& headers, std::string_view name) noexcept {
    for (const HeaderPair& pair : headers) {
        // The length test first: most names differ in length, and it skips the call.
        if (pair.first.size() == name.size() && ascii_iequals(pair.first, name)) return &pair;
    }
    return nullptr;
}

}  // namespace calvenor::request
