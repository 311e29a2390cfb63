#include "app/cors_policy.h"

#include <algorithm>
#include <utility>

#include "text/unicode_space.h"

namespace calvenor {

std::vector<std::string> split_origins(std::string_view text) {
    std::vector<std::string> out;
    out.reserve((size_t)std::count(text.begin(), text.end(), ',') + 1);
    for (;;) {
        size_t comma = text.find(',');
        out.emplace_back(text::trim_unicode_space(text.substr(0, comma)));
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    return out;
}

void CorsPolicy::set(std::optional<std::string_view> origins_text, std::optional<std::string_view> methods_text,
                     std::optional<std::string_view> headers_text, std::optional<std::string_view> max_age_text) {
    // Everything that can fail happens before the first field changes.
    std::vector<std::string> new_origins =
        origins_text ? split_origins(*origins_text) : std::vector<std::string>{std::string(kCorsWildcard)};
    std::string new_methods(methods_text.value_or(kDefaultCorsMethods));
    std::string new_headers(headers_text.value_or(kDefaultCorsHeaders));
    std::string new_max_age(max_age_text.value_or(kDefaultCorsMaxAge));

    wildcard = std::find(new_origins.begin(), new_origins.end(), kCorsWildcard) != new_origins.end();
    origins = std::move(new_origins);
    methods = std::move(new_methods);
    headers = std::move(new_headers);
    max_age = std::move(new_max_age);
}

bool CorsPolicy::allows(std::string_view origin) const {
    if (wildcard) return true;
    return std::find(origins.begin(), origins.end(), origin) != origins.end();
}

}  // namespace calvenor
