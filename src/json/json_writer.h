// The output side of the JSON encoder, free of Python: one growable byte buffer, quoted
// strings escaped through a 256-entry table (with '<', '>' and '&' written as \u003c,
// \u003e and \u0026 so the text is safe inside HTML), and integers.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

#include "json/decimal_digits.h"

namespace calvenor::json {

// A malloc'd block of `cap` bytes.
struct OutBlock {
    char* data = nullptr;
    size_t cap = 0;
};

class OutBuffer {
public:
    // Writes into `block` (empty: a new one) and owns it until released.
    explicit OutBuffer(OutBlock block = {}) : data_(block.data), cap_(block.cap) {
        if (data_ == nullptr) {
            data_ = static_cast<char*>(std::malloc(kFirstBlock));
            if (data_ == nullptr) throw std::bad_alloc();
            cap_ = kFirstBlock;
        }
    }
    ~OutBuffer() { std::free(data_); }
    OutBuffer(const OutBuffer&) = delete;
    OutBuffer& operator=(const OutBuffer&) = delete;

    // Hands the block over for reuse; the buffer must not be written afterwards.
    OutBlock release() {
        OutBlock b{data_, cap_};
        data_ = nullptr;
        cap_ = len_ = 0;
        return b;
    }

    // Makes room for `n` more bytes; grows to twice the size or what is needed.
    void reserve(size_t n) {
        if (cap_ - len_ < n) grow(n);
    }
    char* cursor() { return data_ + len_; }
    // The end of the room: bytes from cursor() up to here may be written before commit().
    char* limit() { return data_ + cap_; }
    void advance(size_t n) { len_ += n; }
    void put(char c) {
        reserve(1);
        data_[len_++] = c;
    }
    void append(const char* s, size_t n) {
        reserve(n);
        std::memcpy(data_ + len_, s, n);
        len_ += n;
    }
    void append(std::string_view s) { append(s.data(), s.size()); }
    // `lead` (unless 0) and a literal of up to 8 bytes (null, true, false) in one store.
    template <size_t N>
    void put_word(char lead, const char (&word)[N]) {
        static_assert(N <= 9);
        reserve(9);
        char* p = data_ + len_;
        *p = lead;
        p += lead != 0;
        char padded[8] = {};
        std::memcpy(padded, word, N - 1);
        std::memcpy(p, padded, 8);
        len_ = (size_t)(p + N - 1 - data_);
    }
    // Sets the end of the text to `p`, a pointer obtained from cursor() after reserve().
    void commit(char* p) { len_ = (size_t)(p - data_); }
    std::string_view view() const { return {data_, len_}; }
    size_t size() const { return len_; }

private:
    // Small documents fit without growing.
    static constexpr size_t kFirstBlock = 256;
    void grow(size_t n);
    char* data_;
    size_t len_ = 0;
    size_t cap_;
};

// Each writer appends `lead` first unless it is 0: a separator or an opening bracket merged
// into the same write.

// Appends `text` (UTF-8) as a quoted JSON string.
void write_string(OutBuffer& out, std::string_view text, char lead = 0);
// Appends `lead` (',' or '{'), `name` as a quoted JSON string, and ':'.
void write_member_name(OutBuffer& out, char lead, std::string_view name);

// Integers are inline: they are small and frequent.
[[gnu::always_inline]] inline void write_int(OutBuffer& out, int64_t v, char lead = 0) {
    out.reserve(2 + kUintRoom);
    char* p = out.cursor();
    *p = lead;
    p += lead != 0;
    uint64_t mag = (uint64_t)v;
    *p = '-';
    p += v < 0;
    if (v < 0) mag = 0 - mag;
    out.commit(put_uint(p, mag));
}

inline void write_uint(OutBuffer& out, uint64_t v, char lead = 0) {
    out.reserve(1 + kUintRoom);
    char* p = out.cursor();
    *p = lead;
    p += lead != 0;
    out.commit(put_uint(p, v));
}

}  // namespace calvenor::json
