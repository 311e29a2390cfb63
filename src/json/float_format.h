// Text of a finite double for JSON output: the shortest digits that read back to the same
// double, laid out as 1.0, 3.25, 0.00001, 1e+16, 1.5e-7, -0.0.
#pragma once
#include <cstddef>
#include <cstdint>

namespace calvenor::json {

// Room `out` needs: the text is at most 24 bytes, but the digits go out in whole 16-byte
// stores, so bytes past the returned length are scratch.
constexpr size_t kFloatBufferSize = 40;

// Writes the text of `value` (finite) to `out` (kFloatBufferSize bytes); returns its length.
size_t format_float(double value, char* out);

// The layout of format_float for the value digits * 10^exp (digits > 0, below 10^17, any
// trailing zeros), so other digit generators can be compared under the same layout.
size_t format_decimal(uint64_t digits, int exp, bool negative, char* out);

// Same contract, built on std::to_chars (slower). Kept as the reference for tests.
size_t format_float_reference(double value, char* out);

}  // namespace calvenor::json
