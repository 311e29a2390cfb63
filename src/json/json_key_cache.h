// Object-key strs kept across decodes: an API decodes the same few keys on every request, and
// a kept str costs an incref instead of a new object and a fresh hash in every dict insert.
// Bounded: a fixed number of slots, two probes per lookup, keyed hash (see short_hash).
#pragma once
#include <Python.h>

#include <cstdint>
#include <string_view>

#include "module/py_ref.h"

namespace calvenor::json {

inline constexpr size_t kKeyCacheMaxLen = 32;

// A str equal to `text` (at most kKeyCacheMaxLen bytes of valid UTF-8, `ascii` if all below
// 0x80, whose keyed hash is `hash`), taken from the cache or made and remembered. Borrowed
// from the cache: valid until the next call. NULL with an exception set when the interpreter
// fails.
PyObject* cached_key(uint64_t hash, std::string_view text, bool ascii);

// A new str of valid UTF-8 `text`; ASCII text skips the decoder.
inline PyObject* make_str(std::string_view text, bool ascii) {
    return ascii ? PyUnicode_DecodeLatin1(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr)
                 : PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

}  // namespace calvenor::json
