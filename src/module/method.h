// Member trampolines: bind the arguments, take the object's access, convert each argument
// in parameter order, run the member, give everything back. A member is then one row:
//
//   {"add", CALVENOR_METHOD(Router, Exclusive, router_add, kAdd, Text, Text, Any),
//    METH_FASTCALL | METH_KEYWORDS, "add($self, method, pattern, handler)\n--\n\n"}
#pragma once
#include <Python.h>

#include <new>
#include <tuple>
#include <utility>

#include "module/binding.h"
#include "module/borrow.h"
#include "module/convert.h"
#include "module/errors.h"
#include "module/object.h"

namespace calvenor {

// Exceptions from the C++ library (allocation failure) must not cross into the interpreter.
template <class F>
PyObject* guarded(F&& body) noexcept {
    PyObject* result;
    try {
        result = body();
    } catch (const std::bad_alloc&) {
        result = PyErr_NoMemory();
    } catch (...) {
        raise_panic("unexpected C++ exception");
        result = nullptr;
    }
    if (result == nullptr) resume_foreign_panic();
    return result;
}

// One converter per parameter of the signature row, checked where each trampoline is made.
template <const Signature& Sig, class... Conv>
constexpr bool one_converter_per_parameter = Sig.count == sizeof...(Conv);

template <class... Conv, size_t... I>
bool convert_all(const Signature& sig, PyObject** raw, std::tuple<typename Conv::value_type...>& vals,
                 std::index_sequence<I...>) {
    bool ok = true;
    // Left to right, stopping at the first failure.
    ((ok = ok && (Conv::convert(raw[I], std::get<I>(vals)) || (wrap_argument_error(sig.names[I]), false))), ...);
    return ok;
}

// Instance method with parameters: METH_FASTCALL | METH_KEYWORDS.
template <class State, class AccessT, auto Impl, const Signature& Sig, class... Conv>
PyObject* method_fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    static_assert(one_converter_per_parameter<Sig, Conv...>, "the signature row and the converters disagree");
    return guarded([&]() -> PyObject* {
        PyObject* raw[sizeof...(Conv) > 0 ? sizeof...(Conv) : 1];
        if (!bind_vector(Sig, args, PyVectorcall_NARGS(nargsf), kwnames, raw)) return nullptr;
        auto* inst = instance_of<State>(self);
        AccessT access(inst->flag);
        if (!access.ok()) return nullptr;
        std::tuple<typename Conv::value_type...> vals;
        if (!convert_all<Conv...>(Sig, raw, vals, std::index_sequence_for<Conv...>{})) return nullptr;
        return std::apply([&](auto&... v) { return Impl(self, inst->state, v...); }, vals);
    });
}

// Instance method without parameters: METH_NOARGS.
template <class State, class AccessT, auto Impl>
PyObject* method_noargs(PyObject* self, PyObject*) noexcept {
    return guarded([&]() -> PyObject* {
        auto* inst = instance_of<State>(self);
        AccessT access(inst->flag);
        if (!access.ok()) return nullptr;
        return Impl(self, inst->state);
    });
}

// Static method: METH_STATIC | METH_FASTCALL | METH_KEYWORDS.
template <auto Impl, const Signature& Sig, class... Conv>
PyObject* static_fastcall(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    static_assert(one_converter_per_parameter<Sig, Conv...>, "the signature row and the converters disagree");
    return guarded([&]() -> PyObject* {
        PyObject* raw[sizeof...(Conv) > 0 ? sizeof...(Conv) : 1];
        if (!bind_vector(Sig, args, PyVectorcall_NARGS(nargsf), kwnames, raw)) return nullptr;
        std::tuple<typename Conv::value_type...> vals;
        if (!convert_all<Conv...>(Sig, raw, vals, std::index_sequence_for<Conv...>{})) return nullptr;
        return std::apply([&](auto&... v) { return Impl(v...); }, vals);
    });
}

// Constructor: tp_new with an argument tuple and a keyword dict.
template <auto Impl, const Signature& Sig, class... Conv>
PyObject* constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    static_assert(one_converter_per_parameter<Sig, Conv...>, "the signature row and the converters disagree");
    return guarded([&]() -> PyObject* {
        PyObject* raw[sizeof...(Conv) > 0 ? sizeof...(Conv) : 1];
        if (!bind_tuple(Sig, args, kwargs, raw)) return nullptr;
        std::tuple<typename Conv::value_type...> vals;
        if (!convert_all<Conv...>(Sig, raw, vals, std::index_sequence_for<Conv...>{})) return nullptr;
        return std::apply([&](auto&... v) { return Impl(type, v...); }, vals);
    });
}

// Read-only attribute: shared access for the read.
template <class State, auto Impl>
PyObject* getter(PyObject* self, void*) noexcept {
    return guarded([&]() -> PyObject* {
        auto* inst = instance_of<State>(self);
        SharedAccess access(inst->flag);
        if (!access.ok()) return nullptr;
        return Impl(self, inst->state);
    });
}

}  // namespace calvenor

#define CALVENOR_METHOD(State, Access, impl, sig, ...) \
    (PyCFunction)(void (*)(void))::calvenor::method_fastcall<State, ::calvenor::Access, impl, sig, __VA_ARGS__>
#define CALVENOR_NOARGS(State, Access, impl) \
    (PyCFunction)(void (*)(void))::calvenor::method_noargs<State, ::calvenor::Access, impl>
#define CALVENOR_STATIC(impl, sig, ...) \
    (PyCFunction)(void (*)(void))::calvenor::static_fastcall<impl, sig, __VA_ARGS__>
