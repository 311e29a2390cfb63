#include "json/json_to_python.h"

#include <bit>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "json/json_key_cache.h"
#include "module/py_ref.h"

namespace calvenor::json {
namespace {

// One str per string id (equal short texts share an id), made on first use; each call
// empties it. Reuse also lets dicts use the str's cached hash.
class StringTable {
public:
    StringTable(std::vector<Ref>& objs, size_t count) : objs_(objs), key_(process_hash_key()) { objs_.resize(count); }
    StringTable(const StringTable&) = delete;
    StringTable& operator=(const StringTable&) = delete;
    ~StringTable() { objs_.clear(); }

    // The str of string node n (bytes `text`), borrowed from this table or from the key
    // cache (object keys; valid until the next key), or for a value without a string id owned
    // by `own`. NULL with an exception set if the interpreter fails.
    PyObject* get(const JsonDocument& doc, const Node& n, std::string_view text, bool is_key, Ref& own) {
        if (!n.interned()) {
            if (!is_key || text.size() > kKeyCacheMaxLen) {
                own = Ref::steal(make_str(text, n.ascii()));
                return own.get();
            }
            const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
            return cached_key(short_hash(key_, bytes, text.size()), text, n.ascii());
        }
        Ref& slot = objs_[n.string_id()];
        if (!slot)
            slot = is_key ? Ref::borrow(cached_key(doc.string_hash(n.string_id()), text, n.ascii()))
                          : Ref::steal(make_str(text, n.ascii()));
        return slot.get();
    }

private:
    std::vector<Ref>& objs_;
    const HashKey& key_;
};

// Collections during the build would only traverse objects that are all still referenced;
// no Python code runs while it is paused, and the previous state comes back afterwards.
class GcPause {
public:
    GcPause() : was_enabled_(PyGC_Disable()) {}
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }

private:
    int was_enabled_;
};

constexpr size_t kNoPauseNodes = 256;
// Below this body size repeated strings are too few to pay for the parser's string table;
// keys still meet their earlier strs through the cross-call key cache.
constexpr size_t kInternFrom = 2048;

class Converter {
public:
    Converter(const JsonDocument& doc, std::vector<Ref>& strings)
        : doc_(doc), tape_(doc.tape.data()), strings_(strings, doc.string_ids) {}

    // Converts the value at i and moves i past it.
    PyObject* value(size_t& i) {
        const Node& n = tape_[i];
        switch (n.tag()) {
            case Tag::Null: ++i; return Py_NewRef(Py_None);
            case Tag::False: ++i; return Py_NewRef(Py_False);
            case Tag::True: ++i; return Py_NewRef(Py_True);
            case Tag::UInt:
                ++i;
                if (n.payload <= static_cast<uint64_t>(INT64_MAX))
                    return PyLong_FromLongLong(static_cast<long long>(n.payload));
                return PyFloat_FromDouble(static_cast<double>(n.payload));
            case Tag::NegInt: ++i; return PyLong_FromLongLong(static_cast<long long>(n.payload));
            case Tag::Double: ++i; return PyFloat_FromDouble(std::bit_cast<double>(n.payload));
            case Tag::String:
            case Tag::EscString: return string(i++);
            case Tag::Array: return array(i);
            case Tag::Object:
            case Tag::OrderedObject: return object(i);
        }
        return nullptr;
    }

private:
    const JsonDocument& doc_;
    const Node* tape_;
    StringTable strings_;

    PyObject* string(size_t i) {
        Ref own;
        PyObject* s = strings_.get(doc_, tape_[i], doc_.string(i), false, own);
        return own ? own.release() : s ? new_ref(s) : nullptr;
    }

    PyObject* array(size_t& i) {
        const Node& n = tape_[i];
        const size_t count = static_cast<size_t>(n.size());
        const size_t end = static_cast<size_t>(n.payload);
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
        if (!list) return nullptr;
        size_t k = i + 1;
        for (size_t m = 0; m < count; ++m) {
            PyObject* item = value(k);
            if (item == nullptr) return nullptr;
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(m), item);  // steals item
        }
        i = end;
        return list.release();
    }

    PyObject* object(size_t& i) {
        const size_t end = static_cast<size_t>(tape_[i].payload);
        Ref dict = Ref::steal(PyDict_New());
        if (!dict) return nullptr;
        bool ok = doc_.for_each_member(i, [&](size_t k) {
            size_t v_at = k + 1;
            Ref v = Ref::steal(value(v_at));
            if (!v) return false;
            Ref own;  // keys are mostly borrowed from the string table: no reference traffic
            PyObject* key = strings_.get(doc_, tape_[k], doc_.string(k), true, own);
            return key != nullptr && PyDict_SetItem(dict.get(), key, v.get()) == 0;
        });
        if (!ok) return nullptr;
        i = end;
        return dict.release();
    }
};

// A parsed document and string table reused from call to call, so that decoding a small body
// allocates nothing of its own once warm. A decode that starts while another is using them
// (a finaliser run by an allocation, for instance) gets fresh ones.
struct DecodeScratch {
    JsonDocument doc;
    std::vector<Ref> strings;
    bool busy = false;

    // What one huge body made the tables grow to is not kept for the next call.
    void trim() {
        if (doc.tape.capacity() > (size_t{1} << 18) || doc.arena.capacity() > (size_t{1} << 20) ||
            doc.scratch.slots.size() > (size_t{1} << 14) || doc.scratch.sort.capacity() > (size_t{1} << 14))
            doc = JsonDocument();
        if (strings.capacity() > (size_t{1} << 14)) strings = std::vector<Ref>();
    }
};

PyObject* convert(const JsonDocument& doc, std::vector<Ref>& strings) {
    if (doc.tape.empty()) {
        PyErr_SetString(PyExc_ValueError, "empty JSON document");
        return nullptr;
    }
    // A small document makes too few containers for a collection to matter, and pausing
    // costs two interpreter-state lookups per call.
    std::optional<GcPause> pause;
    if (doc.tape.size() > kNoPauseNodes) pause.emplace();
    size_t root = 0;
    return Converter(doc, strings).value(root);
}

PyObject* decode_with(std::string_view body, JsonDocument& doc, std::vector<Ref>& strings) {
    JsonError err = parse_json(body, doc, ParseOptions{nullptr, kInternFrom});
    if (err) {
        std::string text = "Invalid JSON: " + format_json_error(body, err);
        PyErr_SetString(PyExc_ValueError, text.c_str());
        return nullptr;
    }
    return convert(doc, strings);
}

}  // namespace

PyObject* json_to_python(const JsonDocument& doc) {
    std::vector<Ref> strings;
    return convert(doc, strings);
}

PyObject* decode_json_body(std::string_view body) {
    static DecodeScratch* shared = new DecodeScratch();  // never destroyed: nothing to run at exit
    if (shared->busy) {
        JsonDocument doc;
        std::vector<Ref> strings;
        return decode_with(body, doc, strings);
    }
    struct Claim {
        DecodeScratch& s;
        explicit Claim(DecodeScratch& s) : s(s) { s.busy = true; }
        ~Claim() {
            s.trim();
            s.busy = false;
        }
    } claim(*shared);
    return decode_with(body, shared->doc, shared->strings);
}

}  // namespace calvenor::json
