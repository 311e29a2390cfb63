#include "json/json_encoder.h"

#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "json/float_digits.h"
#include "json/float_format.h"
#include "json/json_writer.h"
#include "json/member_name_cache.h"
#include "module/errors.h"
#include "module/py_ref.h"

namespace calvenor {

namespace {

using json::OutBuffer;

// Interned attribute names of the field-described objects, made on first use.
struct FieldNames {
    PyObject* columns = nullptr;
    PyObject* struct_fields = nullptr;
    PyObject* dataclass_fields = nullptr;
    // A name that failed (out of memory) is made again on the next call; none is left NULL.
    bool ready() {
        if (!columns) columns = PyUnicode_InternFromString("__columns__");
        if (columns && !struct_fields) struct_fields = PyUnicode_InternFromString("__struct_fields__");
        if (struct_fields && !dataclass_fields) dataclass_fields = PyUnicode_InternFromString("__dataclass_fields__");
        return dataclass_fields != nullptr;
    }
};
FieldNames field_names;

// Containers are walked recursively; the interpreter's recursion limit bounds the depth
// so that a self-containing or very deep value raises RecursionError instead of crashing.
// The first levels are not charged: ordinary documents never reach them, and the guard's
// thread-state lookup would otherwise cost a sizeable share of encoding small containers.
// The allowance only shifts the interpreter's limit by a few frames.
constexpr int kFreeLevels = 16;

class Nesting;

// The output block of the last call, kept for the next one: a call then neither allocates
// nor regrows its buffer. The GIL serialises calls; a call nested in another (Python code run
// by the walk encoding again) finds the block taken and starts its own.
class SpareBlock {
public:
    json::OutBlock take() { return std::exchange(block_, json::OutBlock{}); }
    void give(json::OutBlock b) {
        if (block_.data == nullptr && b.cap <= kKeepLimit) {
            block_ = b;
        } else {
            std::free(b.data);
        }
    }

private:
    // Room for the usual API bodies; a larger block goes back, so an idle process keeps at most 1 MiB.
    static constexpr size_t kKeepLimit = size_t(1) << 20;
    json::OutBlock block_;
};
SpareBlock spare_block;

struct Encoder : OutBuffer {
    Encoder() : OutBuffer(spare_block.take()) {}
    ~Encoder() { spare_block.give(release()); }

    int depth = 0;
    Nesting* innermost = nullptr;
    // Bumped each time Python code may run; a walk that sees it change rechecks its container.
    uint64_t python_runs = 0;
    json::MemberNameCache names;

    // Called before anything that may run Python code, which could drop a container being
    // written from its parent. Until then containers are walked on borrowed references.
    void before_python();
};

// One container being written: charges the recursion limit past the free levels, and holds a
// reference to the container once Python code may run.
class Nesting {
public:
    Nesting(Encoder& enc, PyObject* container) : enc_(enc), container_(container), outer_(enc.innermost) {
        charged_ = ++enc.depth > kFreeLevels;
        ok_ = !charged_ || Py_EnterRecursiveCall(" while encoding a JSON value") == 0;
        if (!ok_) charged_ = false;
        enc.innermost = this;
    }
    ~Nesting() {
        enc_.innermost = outer_;
        if (held_) Py_DECREF(container_);
        if (charged_) Py_LeaveRecursiveCall();
        --enc_.depth;
    }
    bool ok() const { return ok_; }

private:
    friend struct Encoder;
    Encoder& enc_;
    PyObject* container_;
    Nesting* outer_;
    bool held_ = false;  // once held, every outer level is held too
    bool charged_;
    bool ok_;
};

// A Nesting made only when the container's first item that is not a leaf comes: until then
// no Python code runs and nothing recurses, so lists of numbers or strings (and dicts of
// them) skip the bookkeeping.
class LazyNesting {
public:
    LazyNesting(Encoder& enc, PyObject* container) : enc_(enc), container_(container) {}
    bool enter() {
        if (!nest_) nest_.emplace(enc_, container_);
        return nest_->ok();
    }

private:
    Encoder& enc_;
    PyObject* container_;
    std::optional<Nesting> nest_;
};

void Encoder::before_python() {
    for (Nesting* n = innermost; n != nullptr && !n->held_; n = n->outer_) {
        Py_INCREF(n->container_);
        n->held_ = true;
    }
    ++python_runs;
}

bool write_value(PyObject* value, Encoder& out);
bool write_non_leaf(PyObject* value, Encoder& out);
bool write_list(PyObject* list, Encoder& out, Py_ssize_t start_len, Py_ssize_t from = 0, char lead = '[');
bool write_dict(PyObject* dict, Encoder& out);

bool write_str(PyObject* str, Encoder& out, char lead = 0) {
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(str, &n);
    if (s == nullptr) return false;
    json::write_string(out, std::string_view(s, (size_t)n), lead);
    return true;
}

[[gnu::always_inline]] inline void write_double(double d, Encoder& out, char lead = 0) {
    if (!std::isfinite(d)) {
        out.put_word(lead, "null");
        return;
    }
    out.reserve(1 + json::kFloatBufferSize);
    char* p = out.cursor();
    *p = lead;
    p += lead != 0;
    out.commit(p + json::format_float(d, p));
}

// An int that did not convert to a signed 64-bit integer (`overflow` as that conversion set it).
[[gnu::noinline]] bool write_big_int(PyObject* value, Encoder& out, char lead, int overflow) {
    if (overflow >= 0) {
        unsigned long long u = PyLong_AsUnsignedLongLong(value);
        if (!(u == (unsigned long long)-1 && PyErr_Occurred())) {
            json::write_uint(out, u, lead);
            return true;
        }
        PyErr_Clear();
    }
    if (!Py_IS_TYPE(value, &PyLong_Type)) out.before_python();  // an overridden __float__
    double d = PyFloat_AsDouble(value);
    if (d == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        out.put_word(lead, "null");
        return true;
    }
    write_double(d, out, lead);
    return true;
}

// Inline: most ints fit 64 bits, and the call's frame would cost as much as the digits.
[[gnu::always_inline]] inline bool write_int(PyObject* value, Encoder& out, char lead = 0) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow == 0) {
        if (!(v == -1 && PyErr_Occurred())) {
            json::write_int(out, v, lead);
            return true;
        }
        PyErr_Clear();
    }
    return write_big_int(value, out, lead, overflow);
}

// Values of these exact types are written without running any Python code, so they need
// no reference of their own and cannot change the container being walked.
// 1: written (after `lead`), 0: not a leaf (nothing written), -1: exception.
[[gnu::always_inline]] inline int write_leaf(PyObject* value, Encoder& out, char lead) {
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyUnicode_Type) return write_str(value, out, lead) ? 1 : -1;
    if (type == &PyLong_Type) return write_int(value, out, lead) ? 1 : -1;
    if (type == &PyFloat_Type) {
        write_double(PyFloat_AsDouble(value), out, lead);
        return 1;
    }
    if (value == Py_None) {
        out.put_word(lead, "null");
        return 1;
    }
    if (type == &PyBool_Type) {
        if (value == Py_True)
            out.put_word(lead, "true");
        else
            out.put_word(lead, "false");
        return 1;
    }
    return 0;
}

// Writes `lead` (unless 0) and a container item; `ran_python` tells whether Python code may
// have run meanwhile.
[[gnu::always_inline]] inline bool write_item(PyObject* value, Encoder& out, char lead, bool& ran_python, LazyNesting& nest) {
    int r = write_leaf(value, out, lead);
    if (r != 0) return r > 0;
    PyTypeObject* type = Py_TYPE(value);
    Py_ssize_t list_len = 0;
    if (type == &PyList_Type) {
        list_len = PyList_Size(value);
        // An empty exact list is a leaf too (documents hold many): no nesting, nothing to walk.
        if (list_len == 0) {
            out.put_word(lead, "[]");
            return true;
        }
    }
    if (!nest.enter()) return false;
    if (lead) out.put(lead);
    const uint64_t runs = out.python_runs;
    // Exact dicts and lists go straight to their writers: they are most of the non-leaves.
    const bool ok = type == &PyDict_Type   ? write_dict(value, out)
                    : type == &PyList_Type ? write_list(value, out, list_len)
                                           : write_non_leaf(value, out);
    ran_python = out.python_runs != runs;
    return ok;
}

// Writes `item`, an exact float at index `i` of `list`, and the exact floats that follow it
// before `bound`, each after `lead` (then ','); returns the index of the first item left.
// Runs of floats (coordinates, series) keep the cursor in a register and run no Python code.
Py_ssize_t write_float_run(PyObject* list, Py_ssize_t i, Py_ssize_t bound, PyObject* item, Encoder& out, char lead) {
    constexpr size_t kRoom = 1 + json::kFloatBufferSize;
    char* p = out.cursor();
    char* limit = out.limit();
    for (;;) {
        if ((size_t)(limit - p) < kRoom) {
            out.commit(p);
            out.reserve(kRoom);
            p = out.cursor();
            limit = out.limit();
        }
        const double d = PyFloat_AsDouble(item);
        *p++ = lead;
        if (std::isfinite(d)) {
            p += json::format_float_inline(d, p);
        } else {
            std::memcpy(p, "null", 4);
            p += 4;
        }
        lead = ',';
        if (++i == bound) break;
        item = PyList_GetItem(list, i);
        if (!Py_IS_TYPE(item, &PyFloat_Type)) break;
    }
    out.commit(p);
    return i;
}

// `start_len`: the list's length when its walk starts; the walk writes the items from `from`
// on, the first after `lead` ('[' unless earlier items were written).
bool write_list(PyObject* list, Encoder& out, Py_ssize_t start_len, Py_ssize_t from, char lead) {
    LazyNesting nest(out, list);
    // Code run by the walk may grow or shrink the list: never past either length.
    Py_ssize_t bound = start_len;
    for (Py_ssize_t i = from; i < bound;) {
        PyObject* item = PyList_GetItem(list, i);
        if (Py_IS_TYPE(item, &PyFloat_Type)) {
            i = write_float_run(list, i, bound, item, out, lead);
            lead = ',';
            continue;
        }
        bool ran_python = false;
        // A list that starts with floats (a coordinate pair, a row) is written in place up to
        // its first other item: no Python code runs and nothing recurses until then.
        const Py_ssize_t n = Py_IS_TYPE(item, &PyList_Type) ? PyList_Size(item) : 0;
        PyObject* first = n > 0 ? PyList_GetItem(item, 0) : nullptr;
        if (first != nullptr && Py_IS_TYPE(first, &PyFloat_Type)) {
            out.put(lead);
            lead = ',';
            ++i;
            const Py_ssize_t rest = write_float_run(item, 0, n, first, out, '[');
            if (rest == n) {
                out.put(']');
                continue;
            }
            if (!nest.enter()) return false;
            const uint64_t runs = out.python_runs;
            if (!write_list(item, out, n, rest, ',')) return false;
            ran_python = out.python_runs != runs;
        } else {
            if (!write_item(item, out, lead, ran_python, nest)) return false;
            lead = ',';
            ++i;
        }
        if (ran_python) {
            Py_ssize_t now = PyList_Size(list);
            bound = now < start_len ? now : start_len;
        }
    }
    if (lead == '[') out.put('[');
    out.put(']');
    return true;
}

bool write_tuple(PyObject* tuple, Encoder& out) {
    LazyNesting nest(out, tuple);
    Py_ssize_t n = PyTuple_Size(tuple);
    char lead = '[';
    for (Py_ssize_t i = 0; i < n; ++i) {
        bool ran_python = false;
        if (!write_item(PyTuple_GetItem(tuple, i), out, lead, ran_python, nest)) return false;
        lead = ',';
    }
    if (lead == '[') out.put('[');
    out.put(']');
    return true;
}

// Iterates a dict and stops with an internal fault when code run meanwhile changes it.
class GuardedDictWalk {
public:
    explicit GuardedDictWalk(PyObject* dict) : dict_(dict), used_(PyDict_Size(dict)), left_(used_) {}

    // 1: an entry (key and value borrowed), 0: the end, -1: fault raised.
    // `ran_python`: whether Python code may have run since the last step; only then can the
    // dict have changed.
    int next(PyObject*& key, PyObject*& value, bool ran_python) {
        if (ran_python) {
            if (PyDict_Size(dict_) != used_) {
                raise_panic("dictionary changed size during iteration");
                return -1;
            }
            untouched_ = false;
        }
        if (left_ == -1) {
            raise_panic("dictionary keys changed during iteration");
            return -1;
        }
        // An untouched dict has no entry past its size: skip the call that would say so.
        if (left_ == 0 && untouched_) return 0;
        if (!PyDict_Next(dict_, &pos_, &key, &value)) return 0;
        --left_;
        return 1;
    }

private:
    PyObject* dict_;
    Py_ssize_t used_;
    Py_ssize_t left_;
    Py_ssize_t pos_ = 0;
    bool untouched_ = true;
};

// `lead` (',' or '{'), then the key and a colon.
bool write_key(PyObject* key, char lead, Encoder& out) {
    const bool exact = Py_IS_TYPE(key, &PyUnicode_Type);
    size_t slot = json::MemberNameCache::kNoSlot;
    if (exact) {
        if (out.names.find(key, slot)) {
            out.reserve(1 + json::MemberNameCache::kMaxText);
            char* p = out.cursor();
            *p = lead;
            std::memcpy(p + 1, out.names.text(slot), json::MemberNameCache::kMaxText);
            out.advance(1 + out.names.length(slot));
            return true;
        }
    } else if (!PyUnicode_Check(key)) {
        raise_cannot_convert(key, "PyString");
        return false;
    }
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(key, &n);
    if (s == nullptr) return false;
    const size_t start = out.size() + 1;
    json::write_member_name(out, lead, std::string_view(s, (size_t)n));
    out.names.fill(slot, key, out.view().data() + start, out.size() - start);
    return true;
}

bool write_dict(PyObject* dict, Encoder& out) {
    LazyNesting nest(out, dict);
    GuardedDictWalk walk(dict);
    PyObject *key, *value;
    char lead = '{';
    bool ran_python = false;
    for (;;) {
        int r = walk.next(key, value, ran_python);
        if (r < 0) return false;
        if (r == 0) break;
        if (!write_key(key, lead, out)) return false;
        lead = ',';
        if (!write_item(value, out, 0, ran_python, nest)) return false;
    }
    if (lead == '{') out.put('{');
    out.put('}');
    return true;
}

// One "name":value member of a field-described object.
bool write_field(PyObject* obj, PyObject* name, bool& first, Encoder& out) {
    if (!PyUnicode_Check(name)) return true;  // not a field name: skipped
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(name, &n);
    if (s == nullptr) return false;
    json::write_member_name(out, first ? '{' : ',', std::string_view(s, (size_t)n));
    first = false;
    Ref attr = Ref::steal(PyObject_GetAttr(obj, name));
    return attr && write_value(attr.get(), out);
}

// 1: written, 0: declined, -1: exception.
int write_fields(PyObject* obj, Encoder& out) {
    if (!field_names.ready()) return -1;
    out.before_python();
    PyObject* type = (PyObject*)Py_TYPE(obj);
    Ref fields;
    for (PyObject* attr : {field_names.columns, field_names.struct_fields, field_names.dataclass_fields}) {
        fields = Ref::steal(PyObject_GetAttr(type, attr));
        if (fields) break;
        PyErr_Clear();
    }
    if (!fields) return 0;
    unsigned long flags = PyType_GetFlags(Py_TYPE(fields.get()));
    bool is_tuple = flags & Py_TPFLAGS_TUPLE_SUBCLASS;
    if (!is_tuple && !(flags & Py_TPFLAGS_DICT_SUBCLASS)) return 0;

    Nesting nest(out, obj);
    if (!nest.ok()) return -1;
    bool first = true;
    if (is_tuple) {
        Py_ssize_t n = PyTuple_Size(fields.get());
        for (Py_ssize_t i = 0; i < n; ++i)
            if (!write_field(obj, PyTuple_GetItem(fields.get(), i), first, out)) return -1;
    } else {
        GuardedDictWalk walk(fields.get());
        PyObject *key, *value;
        for (;;) {
            // Reading each attribute may run Python code.
            int r = walk.next(key, value, true);
            if (r < 0) return -1;
            if (r == 0) break;
            Ref hold = Ref::borrow(key);
            if (!write_field(obj, key, first, out)) return -1;
        }
    }
    if (first) out.put('{');
    out.put('}');
    return 1;
}

// Anything else: the JSON string of its str(); never fails the call.
bool write_fallback(PyObject* obj, Encoder& out) {
    out.before_python();
    Ref text = Ref::steal(PyObject_Str(obj));
    if (!text) {
        PyErr_WriteUnraisable(obj);
        Ref name = Ref::steal(PyType_GetName(Py_TYPE(obj)));
        Py_ssize_t n = 0;
        const char* s = name ? PyUnicode_AsUTF8AndSize(name.get(), &n) : nullptr;
        if (s == nullptr) {
            PyErr_Clear();
            json::write_string(out, "<unprintable object>");
        } else {
            std::string msg = "<unprintable ";
            msg.append(s, (size_t)n);
            msg += " object>";
            json::write_string(out, msg);
        }
        return true;
    }
    Ref keep;
    std::string_view utf8;
    if (!lenient_utf8(text.get(), keep, utf8)) return false;
    json::write_string(out, utf8);
    return true;
}

bool write_value(PyObject* value, Encoder& out) {
    // Exact built-in types first: each can only match its own row of the general order below.
    int leaf = write_leaf(value, out, 0);
    if (leaf != 0) return leaf > 0;
    return write_non_leaf(value, out);
}

// A value that write_leaf did not take.
bool write_non_leaf(PyObject* value, Encoder& out) {
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyDict_Type) return write_dict(value, out);
    if (type == &PyList_Type) return write_list(value, out, PyList_Size(value));
    if (type == &PyTuple_Type) return write_tuple(value, out);

    unsigned long flags = PyType_GetFlags(type);
    if (flags & Py_TPFLAGS_LONG_SUBCLASS) return write_int(value, out);
    if (PyType_IsSubtype(type, &PyFloat_Type)) {
        double d = PyFloat_AsDouble(value);
        if (d == -1.0 && PyErr_Occurred()) return false;
        write_double(d, out);
        return true;
    }
    if (flags & Py_TPFLAGS_UNICODE_SUBCLASS) return write_str(value, out);
    if (flags & Py_TPFLAGS_LIST_SUBCLASS) return write_list(value, out, PyList_Size(value));
    if (flags & Py_TPFLAGS_TUPLE_SUBCLASS) return write_tuple(value, out);
    if (flags & Py_TPFLAGS_DICT_SUBCLASS) return write_dict(value, out);
    // Python code runs from here on: the value must outlive anything it does to its parent.
    Ref hold = Ref::borrow(value);
    int r = write_fields(value, out);
    if (r != 0) return r > 0;
    return write_fallback(value, out);
}

}  // namespace

bool lenient_utf8(PyObject* str, Ref& keep, std::string_view& text) {
    Py_ssize_t n = 0;
    if (const char* s = PyUnicode_AsUTF8AndSize(str, &n)) {
        text = std::string_view(s, (size_t)n);
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
    PyErr_Clear();
    Ref raw = Ref::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    if (!raw) return false;
    char* bytes = nullptr;
    if (PyBytes_AsStringAndSize(raw.get(), &bytes, &n) < 0) return false;
    Ref fixed = Ref::steal(PyUnicode_DecodeUTF8(bytes, n, "replace"));
    if (!fixed) return false;
    const char* s = PyUnicode_AsUTF8AndSize(fixed.get(), &n);
    if (s == nullptr) return false;
    text = std::string_view(s, (size_t)n);
    keep = std::move(fixed);
    return true;
}

PyObject* json_body(PyObject* value) {
    Encoder out;
    // Most bodies are exact dicts: straight to their writer.
    if (!(Py_IS_TYPE(value, &PyDict_Type) ? write_dict(value, out) : write_value(value, out))) return nullptr;
    std::string_view text = out.view();
    return PyBytes_FromStringAndSize(text.data(), (Py_ssize_t)text.size());
}

}  // namespace calvenor
