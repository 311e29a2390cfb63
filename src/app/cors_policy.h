// The application's cross-origin policy: which origins are allowed and the header texts
// that go with an allowed request. Pure C++; the Python glue lives in app_type.cpp.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace calvenor {

inline constexpr std::string_view kCorsWildcard = "*";
inline constexpr std::string_view kDefaultCorsMethods = "GET,POST,PUT,DELETE,OPTIONS,PATCH";
inline constexpr std::string_view kDefaultCorsHeaders = "*";
inline constexpr std::string_view kDefaultCorsMaxAge = "600";

struct CorsPolicy {
    std::vector<std::string> origins;  // empty: not configured
    std::optional<std::string> methods;
    std::optional<std::string> headers;
    std::optional<std::string> max_age;
    bool wildcard = false;  // some origin entry is "*"; kept with `origins`

    // Replaces the whole policy; an absent argument takes its default. Either every field
    // changes or (on allocation failure, which throws) none does.
    void set(std::optional<std::string_view> origins_text, std::optional<std::string_view> methods_text,
             std::optional<std::string_view> headers_text, std::optional<std::string_view> max_age_text);

    bool configured() const { return !origins.empty(); }
    bool allows(std::string_view origin) const;
    // The Access-Control-Allow-Origin value for an allowed origin.
    std::string_view allow_origin_value(std::string_view origin) const {
        return wildcard ? kCorsWildcard : origin;
    }
};

// Splits at every ',' (empty pieces kept) and trims Unicode White_Space off each piece.
std::vector<std::string> split_origins(std::string_view text);

}  // namespace calvenor
