// Argument binding, conversion and result helpers shared by the extension
// modules `_morvalen` and `_morvalen_ext`. Each module defines the two hooks
// below; everything else is the same for both.
//
// Rules kept by every user of these helpers:
// - Every entry point called by the interpreter catches every C++ exception
//   (`guarded`): nothing unwinds into CPython. Compilation failures are
//   `MorvalenError`; internal invariant failures (and any other C++
//   exception, `std::bad_alloc` included) are the module's
//   `MorvalenInternalError`, which derives from `BaseException` so that an
//   `except Exception` written for ordinary failures does not swallow a bug.
// - Process-wide objects (exception types, interned names) are created lazily
//   while holding the interpreter lock. Creating them can run Python code,
//   which can let another thread in and create them first, so the cache is
//   checked again afterwards and the first object kept. A mutex or a
//   once-flag held across that code could deadlock against the lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// The build defines the 3.10 limited API (cmake/python_module.cmake); a
// different value would silently change which interpreters can load the module.
#if defined(Py_LIMITED_API) && Py_LIMITED_API != 0x030A0000
#error "the module is built against the CPython 3.10 limited API"
#endif

#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "api.h"
#include "support/internal_error.h"
#include "support/result.h"

namespace morvalen::py {

// ---------------------------------------------------------------------------
// Hooks: each module defines these.

/// The module's `MorvalenError` type (borrowed; kept for the life of the
/// process), or null with an error set.
PyObject* morvalen_error_type();

/// The qualified name of the module's internal failure type, such as
/// "_morvalen.MorvalenInternalError".
extern const char* const kInternalErrorName;

// ---------------------------------------------------------------------------
// Errors and results

/// Decodes text produced by the library. It is UTF-8 by construction; should a
/// message ever cut a character, the replacement character keeps the call a
/// plain result instead of a decoding exception.
PyObject* text_to_str(std::string_view text);

/// The type raised for internal failures (borrowed), created on first use.
PyObject* internal_error_type();

/// Raises an internal failure carrying `text`.
void raise_internal(std::string_view text) noexcept;

/// An interned attribute name, kept for the life of the process.
PyObject* interned(PyObject*& cache, const char* text);

/// Runs `body` and turns any C++ exception into the internal failure, so that
/// nothing unwinds into the interpreter. `body` returns a new reference or null
/// with an error set.
template <typename F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const morvalen::InternalError& error) {
    raise_internal(error.what());
  } catch (const std::bad_alloc&) {
    raise_internal("out of memory (std::bad_alloc)");
  } catch (const std::exception& error) {
    raise_internal(error.what());
  } catch (...) {
    raise_internal("unknown C++ exception");
  }
  return nullptr;
}

/// The text as a new `str`, or `MorvalenError` raised with the error's text as
/// its single argument.
PyObject* finish(const morvalen::Result<std::string, morvalen::api::ApiError>& result);

// ---------------------------------------------------------------------------
// Argument binding

/// Parameters: the positional-or-keyword ones first (the leading `required` of
/// them required), then the keyword-only ones, which all have defaults.
struct Signature {
  const char* function;
  const char* const* names;
  Py_ssize_t positional;
  Py_ssize_t required;
  Py_ssize_t total;
};

constexpr Py_ssize_t kMaxParams = 4;

/// Binds positional arguments, then keywords, into `slots` (borrowed
/// references, null for parameters not given). Sets the interpreter's
/// TypeError texts.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);

/// "'T' object is not an instance of 'EXPECTED'", T the qualified name of the
/// object's type, as a TypeError.
void set_wrong_type(PyObject* obj, const char* expected);

/// A TypeError raised by a conversion (exactly that type) is raised again as
/// "argument 'NAME': " + its text, as a new TypeError whose cause is the cause
/// of the first one. Any other error is left as it was raised.
void prefix_argument_error(const char* name);

/// `str` (or a subclass) to its UTF-8 text, which stays valid while `obj`
/// lives; any other object is a TypeError prefixed with the argument's name.
bool convert_str(PyObject* obj, const char* name, std::string_view& out);

/// Exactly `True` or `False` (a numpy boolean through its `__bool__`); any
/// other object is a TypeError prefixed with the argument's name.
bool convert_bool(PyObject* obj, const char* name, bool& out);

/// `function(source, *, optimize=False)`: binds and converts the arguments
/// and returns `op(source, optimize)` as a `str`.
template <typename Op>
PyObject* call_source_optimize(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                               Op&& op) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"source", "optimize"};
    const Signature sig{function, names, 1, 1, 2};
    PyObject* slots[kMaxParams] = {};
    if (!bind_arguments(sig, args, nargs, kwnames, slots)) return nullptr;
    std::string_view source;
    if (!convert_str(slots[0], "source", source)) return nullptr;
    bool optimize = false;
    if (slots[1] != nullptr && !convert_bool(slots[1], "optimize", optimize)) return nullptr;
    return finish(op(source, optimize));
  });
}

/// `function(source, variable, *, optimize=False)`: binds and converts the
/// arguments and returns `op(source, variable, optimize)` as a `str`.
template <typename Op>
PyObject* call_source_variable_optimize(const char* function, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames, Op&& op) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"source", "variable", "optimize"};
    const Signature sig{function, names, 2, 2, 3};
    PyObject* slots[kMaxParams] = {};
    if (!bind_arguments(sig, args, nargs, kwnames, slots)) return nullptr;
    std::string_view source;
    if (!convert_str(slots[0], "source", source)) return nullptr;
    std::string_view variable;
    if (!convert_str(slots[1], "variable", variable)) return nullptr;
    bool optimize = false;
    if (slots[2] != nullptr && !convert_bool(slots[2], "optimize", optimize)) return nullptr;
    return finish(op(source, variable, optimize));
  });
}

// ---------------------------------------------------------------------------
// Module building

using FastWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

/// The method table stores every function as `PyCFunction`; the flags tell the
/// interpreter the real signature.
PyCFunction as_cfunction(FastWithKeywords fn);

/// Adds `value` (a new reference, consumed; null means its creation failed) as
/// attribute `name` and appends the name to `__all__`, creating the list when
/// the module has none yet.
bool add_public(PyObject* module, const char* name, PyObject* value);

/// A built-in function bound to `module`, whose `__module__` is the module's
/// name.
PyObject* new_function(PyObject* module, PyMethodDef* def);

}  // namespace morvalen::py
