#include "json/json_parser.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "json/json_pow10.h"
#include "json/json_short_hash.h"
#include "json/json_utf8.h"
#include "text/hex_digit.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace calvenor::json {
namespace {

constexpr const char* kEofList = "EOF while parsing a list";
constexpr const char* kEofObject = "EOF while parsing an object";
constexpr const char* kEofString = "EOF while parsing a string";
constexpr const char* kEofValue = "EOF while parsing a value";
constexpr const char* kExpectedColon = "expected `:`";
constexpr const char* kExpectedListSep = "expected `,` or `]`";
constexpr const char* kExpectedObjectSep = "expected `,` or `}`";
constexpr const char* kExpectedIdent = "expected ident";
constexpr const char* kExpectedValue = "expected value";
constexpr const char* kInvalidEscape = "invalid escape";
constexpr const char* kInvalidNumber = "invalid number";
constexpr const char* kOutOfRange = "number out of range";
constexpr const char* kInvalidCodePoint = "invalid unicode code point";
constexpr const char* kControlChar = "control character (\\u0000-\\u001F) found while parsing a string";
constexpr const char* kKeyNotString = "key must be a string";
constexpr const char* kLoneSurrogate = "lone leading surrogate in hex escape";
constexpr const char* kTrailingComma = "trailing comma";
constexpr const char* kTrailingChars = "trailing characters";
constexpr const char* kHexEnd = "unexpected end of hex escape";
constexpr const char* kRecursion = "recursion limit exceeded";

constexpr unsigned kNestingBudget = 128;

inline bool is_ws(unsigned char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }
inline bool is_digit(unsigned char c) { return static_cast<unsigned>(c - '0') < 10; }

using text::hex_value;

// Value of four hex digits, or -1 if any of them is not one.
inline int hex4(const unsigned char* p) {
    int a = hex_value(p[0]), b = hex_value(p[1]), c = hex_value(p[2]), d = hex_value(p[3]);
    if ((a | b | c | d) < 0) return -1;
    return (a << 12) | (b << 8) | (c << 4) | d;
}

inline void append_utf8(std::string& out, uint32_t cp) {
    char buf[4];
    size_t n;
    if (cp < 0x80) {
        buf[0] = static_cast<char>(cp);
        n = 1;
    } else if (cp < 0x800) {
        buf[0] = static_cast<char>(0xC0 | (cp >> 6));
        buf[1] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 2;
    } else if (cp < 0x10000) {
        buf[0] = static_cast<char>(0xE0 | (cp >> 12));
        buf[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        buf[2] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 3;
    } else {
        buf[0] = static_cast<char>(0xF0 | (cp >> 18));
        buf[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        buf[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        buf[3] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 4;
    }
    out.append(buf, n);
}

// Would significand * 10 + digit exceed 2^64 - 1?
inline bool sig_overflows(uint64_t sig, unsigned digit) {
    constexpr uint64_t kMax10 = UINT64_MAX / 10;
    return sig > kMax10 || (sig == kMax10 && digit > UINT64_MAX % 10);
}

inline uint64_t load_be64(const unsigned char* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return __builtin_bswap64(v);
}

// Byte-order comparison of short keys without a libc call per pair.
inline int compare_keys(std::string_view a, std::string_view b) {
    const auto* x = reinterpret_cast<const unsigned char*>(a.data());
    const auto* y = reinterpret_cast<const unsigned char*>(b.data());
    size_t n = std::min(a.size(), b.size());
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t u = load_be64(x + i), v = load_be64(y + i);
        if (u != v) return u < v ? -1 : 1;
    }
    for (; i < n; ++i)
        if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

// The first eight key bytes, zero-padded, as a big-endian number: orders most keys alone.
// Built from whole loads: bytes copied into a buffer and read back as one word would stall
// on store forwarding.
inline uint64_t key_prefix(std::string_view k) {
    const auto* p = reinterpret_cast<const unsigned char*>(k.data());
    size_t n = k.size();
    if (n >= 8) return load_be64(p);
    if (n >= 4) {
        uint32_t a, b;
        std::memcpy(&a, p, 4);
        std::memcpy(&b, p + n - 4, 4);
        return uint64_t{__builtin_bswap32(a)} << 32 | uint64_t{__builtin_bswap32(b)} << ((8 - n) * 8);
    }
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v |= uint64_t{p[i]} << (56 - 8 * i);
    return v;
}

inline uint64_t load_le64(const unsigned char* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// Strings up to this length get a string id, so that the converter makes one str per
// distinct text while the bytes are still in cache here.
constexpr size_t kMaxInternLen = 32;
constexpr uint32_t kMaxStringIds = 1u << 16;
// A string whose slot is not found within this many probes is left uninterned, so no input
// can make an insert cost more, even one built with the hash key in hand.
constexpr size_t kMaxProbes = 8;
// Key orders kept per document (see Parser::order_members).
constexpr size_t kShapeSlots = 256;  // a power of two
constexpr uint64_t kMaxShapeMembers = 64;
constexpr size_t kMaxShapePool = size_t{1} << 16;

using SortItem = ParseScratch::SortItem;
using InternSlot = ParseScratch::InternSlot;
using InternText = ParseScratch::InternText;

class Parser {
public:
    Parser(std::string_view input, JsonDocument& doc, const HashKey& key, bool intern)
        : s_(reinterpret_cast<const unsigned char*>(input.data())),
          n_(input.size()),
          intern_(intern),
          key_(key),
          doc_(doc),
          tape_(doc.tape),
          sort_scratch_(doc.scratch.sort),
          intern_slots_(doc.scratch.slots),
          intern_bytes_(doc.scratch.bytes),
          intern_texts_(doc.scratch.texts),
          next_key_(doc.scratch.next_key) {}

    JsonError run() {
        // About one node per eight bytes in typical documents; capped so that one huge
        // string does not reserve a tape it will never use.
        tape_.reserve(std::min<size_t>(n_ / 8 + 4, size_t{1} << 16));
        skip_ws();
        if (pos_ >= n_) return {kEofValue, n_};
        if (!value()) return err_;
        skip_ws();
        if (pos_ < n_) fail_at(kTrailingChars, pos_);
        return err_;
    }

private:
    const unsigned char* s_;
    size_t n_;
    size_t pos_ = 0;
    unsigned budget_ = kNestingBudget;
    const bool intern_;
    const HashKey& key_;
    JsonDocument& doc_;
    std::vector<Node>& tape_;
    JsonError err_;
    std::vector<SortItem>& sort_scratch_;
    std::vector<InternSlot>& intern_slots_;
    // Bytes of each distinct short string, packed so that comparisons stay in cache.
    std::string& intern_bytes_;
    std::vector<InternText>& intern_texts_;  // per string id
    // Same-shaped objects list their keys in one order, so the key that followed a key
    // last time is a cheap first guess. Entry 2 * (id + 1): key after key `id`; entry
    // 2 * ctx + 1: first key of an object under context ctx (id + 1 of the enclosing
    // member's key, 0 at the root). Values: (id + 1) << 1 of a key seen without escapes, 0:
    // none; bit 0 set if it sorts after the key before it, so a hit needs no comparison.
    std::vector<uint32_t>& next_key_;
    uint32_t key_ctx_ = 0;

    // Parses the key at pos_ as the interned string `id` if the input spells exactly it.
    bool guess_key(uint32_t id) {
        InternText t = intern_texts_[id];
        size_t b = pos_ + 1;
        if (t.size >= n_ - b || s_[b + t.size] != '"' ||
            !short_equal(reinterpret_cast<const unsigned char*>(intern_bytes_.data()) + t.offset, s_ + b, t.size))
            return false;
        tape_.push_back(Node{b, (uint64_t{id} << 40) | (uint64_t{t.size} << 8) | Node::kInterned |
                                    static_cast<uint8_t>(Tag::String)});
        pos_ = b + t.size + 1;
        return true;
    }

    // Parses the key at tape index `key`; `slot` indexes next_key_ for the guess and is
    // moved to this key's entry. `prev` is the previous key's index, or 0 for the first key.
    // Clears `ascending` when this key does not sort after the previous one.
    bool key(size_t& slot, size_t prev, bool& ascending) {
        uint32_t guess = slot < next_key_.size() ? next_key_[slot] : 0;
        // Past the id cap nothing is interned any more, so a hit would differ.
        if (guess != 0 && intern_texts_.size() < kMaxStringIds && guess_key((guess >> 1) - 1)) {
            if (prev != 0 && !(guess & 1)) ascending = false;
            uint32_t id = (guess >> 1) - 1;
            slot = 2 * (size_t{id} + 1);
            key_ctx_ = id + 1;
            return true;
        }
        size_t key = tape_.size();
        if (!string()) return false;
        const Node& n = tape_.back();
        // Only escape-free keys are guessed: their bytes then match the raw input exactly.
        bool record = slot != 0 && n.interned() && n.tag() == Tag::String;
        bool after = true;
        if (prev != 0 && (ascending || record)) {
            after = compare_keys(doc_.string(prev), doc_.string(key)) < 0;
            if (!after) ascending = false;
        }
        if (!n.interned()) {
            slot = 0;  // entry 0 stays 0: no guess for the next key
            key_ctx_ = 0;
            return true;
        }
        uint32_t id = n.string_id();
        if (record) {
            if (slot >= next_key_.size()) next_key_.resize(std::max<size_t>(slot + 1, 2 * intern_texts_.size() + 2));
            next_key_[slot] = ((id + 1) << 1) | (after ? 1u : 0u);
        }
        slot = 2 * (size_t{id} + 1);
        key_ctx_ = id + 1;
        return true;
    }

    // Pushes a string node; short ones get the id of the first equal string. `code` is the
    // tag, with kAscii if every byte is below 0x80.
    void push_string(uint8_t code, uint64_t offset, const unsigned char* bytes, size_t n) {
        if (!intern_) {
            tape_.push_back(Node{offset, (uint64_t{n} << 8) | code});
            return;
        }
        intern_string(code, offset, bytes, n);
    }

    [[gnu::noinline]] void intern_string(uint8_t code, uint64_t offset, const unsigned char* bytes, size_t n) {
        size_t count = intern_texts_.size();
        if (n > kMaxInternLen || count >= kMaxStringIds) {
            tape_.push_back(Node{offset, (uint64_t{n} << 8) | code});
            return;
        }
        if (count * 2 >= intern_slots_.size()) grow_interned();
        uint64_t full = short_hash(key_, bytes, n);
        uint32_t h = static_cast<uint32_t>(full);
        size_t mask = intern_slots_.size() - 1;
        size_t j = h & mask;
        for (size_t probe = 0; probe < kMaxProbes; ++probe, j = (j + 1) & mask) {
            InternSlot& slot = intern_slots_[j];
            if (slot.id_plus_one == 0) {
                uint64_t id = count;
                slot = {static_cast<uint32_t>(id + 1), h};
                intern_texts_.push_back({static_cast<uint32_t>(intern_bytes_.size()), static_cast<uint32_t>(n),
                                         static_cast<uint32_t>(j), full});
                intern_bytes_.append(reinterpret_cast<const char*>(bytes), n);
                doc_.string_ids = count + 1;
                push_interned(code, offset, n, id);
                return;
            }
            if (slot.hash == h) {
                uint64_t id = slot.id_plus_one - 1;
                InternText t = intern_texts_[id];
                if (t.size == n &&
                    short_equal(reinterpret_cast<const unsigned char*>(intern_bytes_.data()) + t.offset, bytes, n)) {
                    push_interned(code, offset, n, id);
                    return;
                }
            }
        }
        tape_.push_back(Node{offset, (uint64_t{n} << 8) | code});
    }

    void push_interned(uint8_t code, uint64_t offset, size_t n, uint64_t id) {
        tape_.push_back(Node{offset, (id << 40) | (uint64_t{n} << 8) | Node::kInterned | code});
    }

    // Entries that would land past the probe bound are dropped: their text then just gets a
    // new id (or none) when it comes again.
    void grow_interned() {
        std::vector<InternSlot> old = std::move(intern_slots_);
        intern_slots_.assign(old.empty() ? 256 : old.size() * 2, InternSlot{0, 0});
        size_t mask = intern_slots_.size() - 1;
        for (const InternSlot& s : old) {
            if (s.id_plus_one == 0) continue;
            uint32_t& at = intern_texts_[s.id_plus_one - 1].slot;
            at = ParseScratch::kNoSlot;
            size_t j = s.hash & mask;
            for (size_t probe = 0; probe < kMaxProbes; ++probe, j = (j + 1) & mask) {
                if (intern_slots_[j].id_plus_one == 0) {
                    intern_slots_[j] = s;
                    at = static_cast<uint32_t>(j);
                    break;
                }
            }
        }
    }

    // Error about the byte at index i: the position is just after it.
    bool fail_at(const char* msg, size_t i) {
        err_ = {msg, i + 1};
        return false;
    }
    bool fail_eof(const char* msg) {
        err_ = {msg, n_};
        return false;
    }

    void skip_ws() {
        if (pos_ < n_ && s_[pos_] > ' ') return;  // compact text: nothing to skip
        // One space, as after a colon in indented text.
        if (n_ - pos_ >= 2 && s_[pos_] == ' ' && s_[pos_ + 1] > ' ') {
            ++pos_;
            return;
        }
#if defined(__SSE2__)
        // Indented text has long runs of spaces after each line feed.
        while (n_ - pos_ >= 16) {
            __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s_ + pos_));
            __m128i ws = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8(' ')),
                                                   _mm_cmpeq_epi8(x, _mm_set1_epi8('\n'))),
                                      _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('\t')),
                                                   _mm_cmpeq_epi8(x, _mm_set1_epi8('\r'))));
            unsigned other = ~static_cast<unsigned>(_mm_movemask_epi8(ws)) & 0xFFFF;
            if (other != 0) {
                pos_ += static_cast<unsigned>(__builtin_ctz(other));
                return;
            }
            pos_ += 16;
        }
#endif
        while (pos_ < n_ && is_ws(s_[pos_])) ++pos_;
    }

    void push(Tag t, uint64_t payload, uint64_t size = 0) {
        tape_.push_back(Node{payload, (size << 8) | static_cast<uint8_t>(t)});
    }
    void push_double(double d) { push(Tag::Double, std::bit_cast<uint64_t>(d)); }

    // Precondition: pos_ < n_ and s_[pos_] is not whitespace.
    bool value() {
        switch (s_[pos_]) {
            case '"': return string();
            case '-':
            case '0': case '1': case '2': case '3': case '4':
            case '5': case '6': case '7': case '8': case '9':
                return number();
            case '[': return array();
            case '{': return object();
            case 't': return literal("true", 4, Tag::True);
            case 'f': return literal("false", 5, Tag::False);
            case 'n': return literal("null", 4, Tag::Null);
            default: return fail_at(kExpectedValue, pos_);
        }
    }

    bool literal(const char* word, size_t len, Tag tag) {
        for (size_t k = 1; k < len; ++k) {
            if (pos_ + k >= n_) return fail_eof(kEofValue);
            if (s_[pos_ + k] != static_cast<unsigned char>(word[k])) return fail_at(kExpectedIdent, pos_ + k);
        }
        pos_ += len;
        push(tag, 0);
        return true;
    }

    // Appends digits at p to sig while they fit; the first digit that would overflow and
    // every digit after it are dropped. Returns the number of digits added and sets `dropped`.
    size_t gather_digits(size_t& p, uint64_t& sig, size_t& dropped) const {
        size_t added = 0;
        // 19 digits always fit in 64 bits, so the leading ones need no overflow check.
        while (p < n_ && is_digit(s_[p]) && sig < 1000000000000000000ull) {
            sig = sig * 10 + (s_[p] - '0');
            ++p;
            ++added;
        }
        while (p < n_ && is_digit(s_[p])) {
            unsigned d = s_[p] - '0';
            if (sig_overflows(sig, d)) {
                size_t from = p;
                while (p < n_ && is_digit(s_[p])) ++p;
                dropped = p - from;
                return added;
            }
            sig = sig * 10 + d;
            ++p;
            ++added;
        }
        return added;
    }

    bool number() {
        size_t p = pos_;
        bool neg = false;
        if (s_[p] == '-') {
            neg = true;
            if (++p >= n_) return fail_eof(kEofValue);
        }
        uint64_t sig = 0;
        int64_t exp10 = 0;  // wide enough that dropped digits of any input cannot overflow it
        bool is_int = true;
        size_t dropped_int = 0;

        unsigned char c = s_[p];
        if (c == '0') {
            ++p;
            if (p < n_ && is_digit(s_[p])) return fail_at(kInvalidNumber, p);
        } else if (is_digit(c)) {
            gather_digits(p, sig, dropped_int);
            exp10 += static_cast<int64_t>(dropped_int);
        } else {
            return fail_at(kInvalidNumber, p);
        }

        if (p < n_ && s_[p] == '.') {
            is_int = false;
            if (++p >= n_) return fail_eof(kEofValue);
            if (!is_digit(s_[p])) return fail_at(kInvalidNumber, p);
            size_t dropped_frac = 0;  // dropped fraction digits change nothing
            exp10 -= static_cast<int64_t>(gather_digits(p, sig, dropped_frac));
        }

        if (p < n_ && (s_[p] | 0x20) == 'e') {
            is_int = false;
            if (++p >= n_) return fail_eof(kEofValue);
            bool exp_neg = false;
            if (s_[p] == '+' || s_[p] == '-') {
                exp_neg = s_[p] == '-';
                if (++p >= n_) return fail_eof(kEofValue);
            }
            if (!is_digit(s_[p])) return fail_at(kInvalidNumber, p);
            int32_t e = 0;
            while (p < n_ && is_digit(s_[p])) {
                int32_t d = s_[p] - '0';
                if (e > (INT32_MAX - d) / 10) {
                    if (sig != 0 && !exp_neg) return fail_at(kOutOfRange, p);
                    while (p < n_ && is_digit(s_[p])) ++p;
                    pos_ = p;
                    push_double(neg ? -0.0 : 0.0);
                    return true;
                }
                e = e * 10 + d;
                ++p;
            }
            exp10 += exp_neg ? -static_cast<int64_t>(e) : e;
        }
        pos_ = p;

        if (is_int && dropped_int == 0) {
            if (!neg) {
                push(Tag::UInt, sig);
            } else if (sig == 0) {
                push_double(-0.0);
            } else if (sig <= (uint64_t{1} << 63)) {
                push(Tag::NegInt, uint64_t{0} - sig);  // two's complement of the magnitude
            } else {
                push_double(-static_cast<double>(sig));
            }
            return true;
        }

        double f = static_cast<double>(sig);
        while (exp10 > 308 || exp10 < -308) {
            if (f == 0) {
                push_double(neg ? -0.0 : 0.0);
                return true;
            }
            if (exp10 >= 0) return fail_at(kOutOfRange, p - 1);
            f /= 1e308;
            exp10 += 308;
        }
        if (exp10 >= 0) {
            f *= kPow10[exp10];
            if (std::isinf(f)) return fail_at(kOutOfRange, p - 1);
        } else {
            f /= kPow10[-exp10];
        }
        push_double(neg ? -f : f);
        return true;
    }

    // Index of the first '"', '\\' or control byte at or after i (n_ if none); sets
    // `non_ascii` if a byte >= 0x80 was passed on the way.
    size_t scan_string(size_t i, bool& non_ascii) const {
#if defined(__SSE2__)
        const __m128i quote = _mm_set1_epi8('"');
        const __m128i backslash = _mm_set1_epi8('\\');
        const __m128i ctl_max = _mm_set1_epi8(0x1F);
        while (n_ - i >= 16) {
            __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s_ + i));
            __m128i stop = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, quote), _mm_cmpeq_epi8(x, backslash)),
                                        _mm_cmpeq_epi8(_mm_max_epu8(x, ctl_max), ctl_max));
            unsigned stop_mask = static_cast<unsigned>(_mm_movemask_epi8(stop));
            unsigned high_mask = static_cast<unsigned>(_mm_movemask_epi8(x));
            if (stop_mask != 0) {
                unsigned k = static_cast<unsigned>(__builtin_ctz(stop_mask));
                if (high_mask & ((1u << k) - 1)) non_ascii = true;
                return i + k;
            }
            if (high_mask != 0) non_ascii = true;
            i += 16;
        }
#endif
        for (; i < n_; ++i) {
            unsigned char c = s_[i];
            if (c == '"' || c == '\\' || c < 0x20) return i;
            if (c >= 0x80) non_ascii = true;
        }
        return n_;
    }

    // Precondition: s_[pos_] == '"'.
    bool string() {
        size_t seg = ++pos_;
        bool escaped = false;
        bool bad_utf8 = false;
        size_t arena_start = 0;
        std::string& arena = doc_.arena;
        for (;;) {
            bool non_ascii = false;
            size_t i = scan_string(pos_, non_ascii);
            if (i >= n_) return fail_eof(kEofString);
            // A finished string is valid iff each raw run is: escapes only emit whole characters.
            if (non_ascii && !bad_utf8 && !utf8_valid(s_ + seg, i - seg)) bad_utf8 = true;
            unsigned char c = s_[i];
            if (c == '"') {
                if (bad_utf8) return fail_at(kInvalidCodePoint, i);
                if (!escaped) {
                    // Without escapes there was one scan, so its flag covers the whole string.
                    uint8_t code = static_cast<uint8_t>(Tag::String) | (non_ascii ? 0 : uint8_t{Node::kAscii});
                    push_string(code, seg, s_ + seg, i - seg);
                } else {
                    arena.append(reinterpret_cast<const char*>(s_ + seg), i - seg);
                    push_string(static_cast<uint8_t>(Tag::EscString), arena_start,
                                reinterpret_cast<const unsigned char*>(arena.data()) + arena_start,
                                arena.size() - arena_start);
                }
                pos_ = i + 1;
                return true;
            }
            if (c != '\\') return fail_at(kControlChar, i);
            if (!escaped) {
                escaped = true;
                arena_start = arena.size();
            }
            arena.append(reinterpret_cast<const char*>(s_ + seg), i - seg);
            if (i + 1 >= n_) return fail_eof(kEofString);
            switch (s_[i + 1]) {
                case '"': arena.push_back('"'); pos_ = i + 2; break;
                case '\\': arena.push_back('\\'); pos_ = i + 2; break;
                case '/': arena.push_back('/'); pos_ = i + 2; break;
                case 'b': arena.push_back('\b'); pos_ = i + 2; break;
                case 'f': arena.push_back('\f'); pos_ = i + 2; break;
                case 'n': arena.push_back('\n'); pos_ = i + 2; break;
                case 'r': arena.push_back('\r'); pos_ = i + 2; break;
                case 't': arena.push_back('\t'); pos_ = i + 2; break;
                case 'u':
                    if (!hex_escape(i + 2)) return false;
                    break;
                default: return fail_at(kInvalidEscape, i + 1);
            }
            seg = pos_;
        }
    }

    // h: index of the first hex digit after "\u". Sets pos_ past the escape (or pair).
    bool hex_escape(size_t h) {
        if (n_ - h < 4) return fail_eof(kEofString);
        int v = hex4(s_ + h);
        if (v < 0) return fail_at(kInvalidEscape, h + 3);
        if (v >= 0xDC00 && v <= 0xDFFF) return fail_at(kLoneSurrogate, h + 3);
        if (v >= 0xD800 && v <= 0xDBFF) {
            size_t b = h + 4;
            if (b >= n_) return fail_eof(kEofString);
            if (s_[b] != '\\') return fail_at(kHexEnd, b);
            if (b + 1 >= n_) return fail_eof(kEofString);
            if (s_[b + 1] != 'u') return fail_at(kHexEnd, b + 1);
            size_t h2 = b + 2;
            if (n_ - h2 < 4) return fail_eof(kEofString);
            int lo = hex4(s_ + h2);
            if (lo < 0) return fail_at(kInvalidEscape, h2 + 3);
            if (lo < 0xDC00 || lo > 0xDFFF) return fail_at(kLoneSurrogate, h2 + 3);
            uint32_t cp = 0x10000 + ((static_cast<uint32_t>(v) - 0xD800) << 10) + (static_cast<uint32_t>(lo) - 0xDC00);
            append_utf8(doc_.arena, cp);
            pos_ = h2 + 4;
            return true;
        }
        append_utf8(doc_.arena, static_cast<uint32_t>(v));
        pos_ = h + 4;
        return true;
    }

    bool enter(size_t opener) {
        if (--budget_ == 0) return fail_at(kRecursion, opener);
        return true;
    }

    // Precondition: s_[pos_] == '['.
    bool array() {
        if (!enter(pos_)) return false;
        size_t header = tape_.size();
        push(Tag::Array, 0);
        ++pos_;
        skip_ws();
        if (pos_ >= n_) return fail_eof(kEofList);
        uint64_t count = 0;
        if (s_[pos_] != ']') {
            for (;;) {
                if (!value()) return false;
                ++count;
                skip_ws();
                if (pos_ >= n_) return fail_eof(kEofList);
                unsigned char c = s_[pos_];
                if (c == ',') {
                    ++pos_;
                    skip_ws();
                    if (pos_ >= n_) return fail_eof(kEofValue);
                    if (s_[pos_] == ']') return fail_at(kTrailingComma, pos_);
                    continue;
                }
                if (c == ']') break;
                return fail_at(kExpectedListSep, pos_);
            }
        }
        ++pos_;
        ++budget_;
        tape_[header] = Node{tape_.size(), (count << 8) | static_cast<uint8_t>(Tag::Array)};
        return true;
    }

    // Precondition: s_[pos_] == '{'.
    bool object() {
        if (!enter(pos_)) return false;
        size_t header = tape_.size();
        push(Tag::Object, 0);
        ++pos_;
        skip_ws();
        if (pos_ >= n_) return fail_eof(kEofObject);
        uint64_t count = 0;
        bool ascending = true;
        size_t prev_key = 0;
        const uint32_t outer_ctx = key_ctx_;
        size_t slot = 2 * size_t{outer_ctx} + 1;
        unsigned char c = s_[pos_];
        if (c != '}') {
            if (c != '"') return fail_at(kKeyNotString, pos_);
            for (;;) {
                size_t key = tape_.size();
                if (!this->key(slot, count > 0 ? prev_key : 0, ascending)) return false;
                prev_key = key;
                ++count;
                skip_ws();
                if (pos_ >= n_) return fail_eof(kEofObject);
                if (s_[pos_] != ':') return fail_at(kExpectedColon, pos_);
                ++pos_;
                skip_ws();
                if (pos_ >= n_) return fail_eof(kEofValue);
                if (!value()) return false;
                skip_ws();
                if (pos_ >= n_) return fail_eof(kEofObject);
                c = s_[pos_];
                if (c == ',') {
                    ++pos_;
                    skip_ws();
                    if (pos_ >= n_) return fail_eof(kEofValue);
                    c = s_[pos_];
                    if (c == '}') return fail_at(kTrailingComma, pos_);
                    if (c != '"') return fail_at(kKeyNotString, pos_);
                    continue;
                }
                if (c == '}') break;
                return fail_at(kExpectedObjectSep, pos_);
            }
        }
        ++pos_;
        ++budget_;
        key_ctx_ = outer_ctx;
        if (ascending)
            tape_[header] = Node{tape_.size(), (count << 8) | static_cast<uint8_t>(Tag::Object)};
        else
            order_members(header, count);
        return true;
    }

    // Sorts the members of a just-closed object by key bytes; of equal keys the last written
    // one wins. Runs once per object, so work stays O(m log m) per object. Objects of a large
    // document often repeat a key sequence (the same record shape), so the order found for
    // one is kept and reused for the next object whose keys are the same texts in the same
    // order. The table is direct-mapped and checked key by key, so a collision only costs
    // the check (linear in the object's key bytes) and then a sort.
    void order_members(size_t header, uint64_t count) {
        std::vector<uint64_t>& keys = doc_.scratch.members;
        uint64_t hash = count;
        ParseScratch::Shape* shape = nullptr;
        if (intern_ && count <= kMaxShapeMembers) {
            keys.clear();
            size_t k = header + 1;
            for (uint64_t m = 0; m < count; ++m) {
                keys.push_back(k);
                const Node& n = tape_[k];
                hash = (hash ^ (n.interned() ? n.string_id() : n.size() << 32)) * 0x9E3779B97F4A7C15ull;
                k = doc_.skip(k + 1);
            }
            std::vector<ParseScratch::Shape>& shapes = doc_.scratch.shapes;
            if (shapes.empty()) shapes.assign(kShapeSlots, ParseScratch::Shape{0, 0, 0, 0, 0});
            shape = &shapes[(hash >> 32) & (kShapeSlots - 1)];
            if (shape->parse == doc_.scratch.parse && shape->count == count && shape->hash == hash &&
                same_keys(*shape, keys)) {
                const uint64_t* ordinals = doc_.scratch.shape_pool.data() + shape->offset + count;
                std::vector<uint64_t>& order = doc_.order;
                size_t offset = order.size();
                order.push_back(shape->unique);
                for (uint32_t j = 0; j < shape->unique; ++j) order.push_back(keys[ordinals[j]]);
                tape_[header] = Node{tape_.size(), (uint64_t{offset} << 8) | static_cast<uint8_t>(Tag::OrderedObject)};
                return;
            }
        }
        std::vector<SortItem>& items = sort_scratch_;
        items.clear();
        size_t k = header + 1;
        for (uint64_t m = 0; m < count; ++m) {
            items.push_back({key_prefix(doc_.string(k)), k});
            k = doc_.skip(k + 1);
        }
        auto less = [this](const SortItem& a, const SortItem& b) {
            if (a.prefix != b.prefix) return a.prefix < b.prefix;
            int c = compare_keys(doc_.string(a.index), doc_.string(b.index));
            return c != 0 ? c < 0 : a.index < b.index;
        };
        if (items.size() <= 16) {
            // Most objects are small: a plain insertion sort beats the general one there.
            for (size_t j = 1; j < items.size(); ++j) {
                SortItem item = items[j];
                size_t at = j;
                for (; at > 0 && less(item, items[at - 1]); --at) items[at] = items[at - 1];
                items[at] = item;
            }
        } else {
            std::sort(items.begin(), items.end(), less);
        }
        std::vector<uint64_t>& order = doc_.order;
        size_t offset = order.size();
        order.push_back(0);
        uint64_t unique = 0;
        for (size_t j = 0; j < items.size(); ++j) {
            if (j + 1 < items.size() && items[j + 1].prefix == items[j].prefix &&
                compare_keys(doc_.string(items[j + 1].index), doc_.string(items[j].index)) == 0)
                continue;
            order.push_back(items[j].index);
            ++unique;
        }
        order[offset] = unique;
        tape_[header] = Node{tape_.size(), (uint64_t{offset} << 8) | static_cast<uint8_t>(Tag::OrderedObject)};
        if (shape != nullptr) remember_shape(*shape, hash, keys, order.data() + offset + 1, unique);
    }

    bool same_keys(const ParseScratch::Shape& shape, const std::vector<uint64_t>& keys) const {
        const uint64_t* seen = doc_.scratch.shape_pool.data() + shape.offset;
        for (size_t m = 0; m < keys.size(); ++m) {
            const Node& a = tape_[seen[m]];
            const Node& b = tape_[keys[m]];
            if (a.interned() && b.interned() && a.string_id() == b.string_id()) continue;
            if (doc_.string(seen[m]) != doc_.string(keys[m])) return false;
        }
        return true;
    }

    // Stores the key indices (ascending) and the places among them of the `unique` winners;
    // the pool is capped, past which orders are simply not kept.
    void remember_shape(ParseScratch::Shape& shape, uint64_t hash, const std::vector<uint64_t>& keys,
                        const uint64_t* winners, uint64_t unique) {
        std::vector<uint64_t>& pool = doc_.scratch.shape_pool;
        if (pool.size() + keys.size() + unique > kMaxShapePool) return;
        shape = {hash, static_cast<uint32_t>(pool.size()), static_cast<uint32_t>(keys.size()),
                 static_cast<uint32_t>(unique), doc_.scratch.parse};
        pool.insert(pool.end(), keys.begin(), keys.end());
        for (uint64_t j = 0; j < unique; ++j)
            pool.push_back(static_cast<uint64_t>(std::lower_bound(keys.begin(), keys.end(), winners[j]) - keys.begin()));
    }
};

}  // namespace

JsonError parse_json(std::string_view input, JsonDocument& out, const ParseOptions& options) {
    out.input = input;
    out.tape.clear();
    out.arena.clear();
    out.order.clear();
    out.string_ids = 0;
    ParseScratch& sc = out.scratch;
    if (sc.texts.size() * 4 < sc.slots.size()) {
        for (const InternText& t : sc.texts)
            if (t.slot != ParseScratch::kNoSlot) sc.slots[t.slot] = {0, 0};
    } else {
        std::fill(sc.slots.begin(), sc.slots.end(), InternSlot{0, 0});
    }
    std::fill_n(sc.next_key.begin(), std::min(sc.next_key.size(), 2 * sc.texts.size() + 2), 0u);
    sc.shape_pool.clear();
    if (++sc.parse == 0) {  // wrapped: entries of 2^32 parses ago would look current
        std::fill(sc.shapes.begin(), sc.shapes.end(), ParseScratch::Shape{0, 0, 0, 0, 0});
        sc.parse = 1;
    }
    sc.texts.clear();
    sc.bytes.clear();
    const HashKey& key = options.key ? *options.key : process_hash_key();
    return Parser(input, out, key, input.size() >= options.intern_from).run();
}

std::string format_json_error(std::string_view input, const JsonError& error) {
    size_t p = std::min(error.offset, input.size());
    size_t line = 1;
    size_t line_start = 0;
    const char* base = input.data();
    const char* at = base;
    const char* end = base + p;
    while (at < end) {
        const void* nl = std::memchr(at, '\n', static_cast<size_t>(end - at));
        if (nl == nullptr) break;
        ++line;
        at = static_cast<const char*>(nl) + 1;
        line_start = static_cast<size_t>(at - base);
    }
    std::string text = error.message ? error.message : "";
    text += " at line ";
    text += std::to_string(line);
    text += " column ";
    text += std::to_string(p - line_start);
    return text;
}

}  // namespace calvenor::json
