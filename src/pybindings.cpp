// The CPython extension module `_morvalen`: converts the arguments, calls the
// `api` pipeline, converts the result back. It uses the limited (stable) API
// only, so one build loads in every CPython from 3.10 on.
//
// Rules kept throughout this file:
// - Every entry point called by the interpreter catches every C++ exception:
//   nothing unwinds into CPython. Compilation failures are `MorvalenError`;
//   internal invariant failures (and any other C++ exception, `std::bad_alloc`
//   included) are `MorvalenInternalError`, which derives from `BaseException`
//   so that an `except Exception` written for ordinary failures does not
//   swallow a bug.
// - Process-wide objects (the two exception types, interned names) are created
//   lazily while holding the interpreter lock. Creating them can run Python
//   code, which can let another thread in and create them first, so the cache
//   is checked again afterwards and the first object kept. A mutex or a
//   once-flag held across that code could deadlock against the lock.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// The build defines the 3.10 limited API (cmake/python_module.cmake); a
// different value would silently change which interpreters can load the module.
#if defined(Py_LIMITED_API) && Py_LIMITED_API != 0x030A0000
#error "the module is built against the CPython 3.10 limited API"
#endif

#include <exception>
#include <string>
#include <string_view>
#include <utility>

#include "api.h"
#include "support/internal_error.h"

namespace {

constexpr const char* kVersion = "0.0.2";

// ---------------------------------------------------------------------------
// Process-wide cached objects

PyObject* g_morvalen_error = nullptr;
PyObject* g_internal_error = nullptr;

// The type raised for internal failures; created on first use.
PyObject* internal_error_type() {
  if (g_internal_error != nullptr) return g_internal_error;
  PyObject* type = PyErr_NewException("_morvalen.MorvalenInternalError", PyExc_BaseException, nullptr);
  if (type == nullptr) return nullptr;
  if (g_internal_error != nullptr) {
    Py_DECREF(type);
    return g_internal_error;
  }
  g_internal_error = type;
  return g_internal_error;
}

// Decodes text produced by the library. It is UTF-8 by construction; should a
// message ever cut a character, the replacement character keeps the call a
// plain result instead of a decoding exception.
PyObject* text_to_str(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

// Raises an internal failure carrying `text`.
void raise_internal(std::string_view text) noexcept {
  PyObject* type = internal_error_type();
  if (type == nullptr) return;  // the interpreter's own error (memory) stands
  PyObject* message = text_to_str(text);
  if (message == nullptr) return;
  PyErr_SetObject(type, message);
  Py_DECREF(message);
}

// `MorvalenError`: "_morvalen.MorvalenError", base `Exception`, no doc string,
// no class dictionary; one type object for the whole process.
PyObject* morvalen_error_type() {
  if (g_morvalen_error != nullptr) return g_morvalen_error;
  PyObject* type = PyErr_NewException("_morvalen.MorvalenError", nullptr, nullptr);
  if (type == nullptr) {
    PyErr_Clear();
    raise_internal("Failed to initialize new exception type.");
    return nullptr;
  }
  if (g_morvalen_error != nullptr) {
    Py_DECREF(type);
    return g_morvalen_error;
  }
  g_morvalen_error = type;
  return g_morvalen_error;
}

// An interned attribute name, kept for the life of the process.
PyObject* interned(PyObject*& cache, const char* text) {
  if (cache != nullptr) return cache;
  PyObject* name = PyUnicode_InternFromString(text);
  if (name == nullptr) return nullptr;
  if (cache != nullptr) {
    Py_DECREF(name);
    return cache;
  }
  cache = name;
  return cache;
}

PyObject* g_qualname = nullptr;
PyObject* g_module = nullptr;
PyObject* g_name = nullptr;
PyObject* g_bool = nullptr;

// Runs `body` and turns any C++ exception into the internal failure, so that
// nothing unwinds into the interpreter. `body` returns a new reference or null
// with an error set.
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

// ---------------------------------------------------------------------------
// Argument binding

// Parameters: the positional-or-keyword ones first (the leading `required` of
// them required), then the keyword-only ones, which all have defaults.
struct Signature {
  const char* function;
  const char* const* names;
  Py_ssize_t positional;
  Py_ssize_t required;
  Py_ssize_t total;
};

constexpr Py_ssize_t kMaxParams = 3;

const char* was_or_were(Py_ssize_t given) { return given == 1 ? "was" : "were"; }

// Binds positional arguments, then keywords, into `slots` (borrowed references,
// null for parameters not given). Sets the interpreter's TypeError texts.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** slots) {
  if (nargs > sig.positional) {
    if (sig.required == sig.positional) {
      PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd %s given", sig.function,
                   sig.positional, nargs, was_or_were(nargs));
    } else {
      PyErr_Format(PyExc_TypeError, "%s() takes from %zd to %zd positional arguments but %zd %s given",
                   sig.function, sig.required, sig.positional, nargs, was_or_were(nargs));
    }
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];

  Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
  if (nkw < 0) return false;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GetItem(kwnames, k);
    if (key == nullptr) return false;
    Py_ssize_t index = -1;
    for (Py_ssize_t p = 0; p < sig.total; ++p) {
      if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, sig.names[p]) == 0) {
        index = p;
        break;
      }
    }
    if (index < 0) {
      // %U keeps any keyword text intact, lone surrogates included.
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.function, key);
      return false;
    }
    if (slots[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.function, sig.names[index]);
      return false;
    }
    slots[index] = args[nargs + k];
  }

  std::string missing;
  Py_ssize_t missing_count = 0;
  for (Py_ssize_t p = 0; p < sig.required; ++p) {
    if (slots[p] == nullptr) ++missing_count;
  }
  if (missing_count == 0) return true;
  Py_ssize_t listed = 0;
  for (Py_ssize_t p = 0; p < sig.required; ++p) {
    if (slots[p] != nullptr) continue;
    if (listed > 0) {
      if (missing_count == 2) {
        missing += " and ";
      } else if (listed == missing_count - 1) {
        missing += ", and ";
      } else {
        missing += ", ";
      }
    }
    missing += '\'';
    missing += sig.names[p];
    missing += '\'';
    ++listed;
  }
  PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional %s: %s", sig.function, missing_count,
               missing_count == 1 ? "argument" : "arguments", missing.c_str());
  return false;
}

// ---------------------------------------------------------------------------
// Argument conversion

// "'T' object is not an instance of 'EXPECTED'", T the qualified name of the
// object's type.
void set_wrong_type(PyObject* obj, const char* expected) {
  PyObject* attr = interned(g_qualname, "__qualname__");
  if (attr == nullptr) return;
  PyObject* qualname = PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(obj)), attr);
  if (qualname == nullptr) return;
  if (PyUnicode_Check(qualname)) {
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname, expected);
  } else {
    PyErr_Format(PyExc_TypeError, "'%S' object is not an instance of '%s'", qualname, expected);
  }
  Py_DECREF(qualname);
}

// A TypeError raised by a conversion (exactly that type) is raised again as
// "argument 'NAME': " + its text, as a new TypeError whose cause is the cause
// of the first one. Any other error is left as it was raised.
void prefix_argument_error(const char* name) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  PyObject* text = value == nullptr ? nullptr : PyObject_Str(value);
  PyObject* message = text == nullptr ? nullptr : PyUnicode_FromFormat("argument '%s': %U", name, text);
  PyObject* fresh = message == nullptr ? nullptr : PyObject_CallFunctionObjArgs(PyExc_TypeError, message, nullptr);
  if (fresh != nullptr) {
    PyException_SetCause(fresh, value == nullptr ? nullptr : PyException_GetCause(value));  // steals the cause
    PyErr_SetObject(PyExc_TypeError, fresh);
  }
  Py_XDECREF(fresh);
  Py_XDECREF(message);
  Py_XDECREF(text);
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
}

// `str` (or a subclass) to its UTF-8 text, which stays valid while `obj` lives
// (the interpreter caches it in the object). Lone surrogates raise the
// interpreter's UnicodeEncodeError.
bool str_value(PyObject* obj, std::string_view& out) {
  if (obj == Py_None) {
    PyErr_SetString(PyExc_TypeError, "'None' is not an instance of 'str'");
    return false;
  }
  if (!PyUnicode_Check(obj)) {
    set_wrong_type(obj, "str");
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

// True when `type` is numpy's boolean scalar type: module "numpy", name
// "bool_" (numpy 1) or "bool" (numpy 2). Lookup failures mean "no".
bool is_numpy_bool_type(PyObject* type) {
  PyObject* module_attr = interned(g_module, "__module__");
  PyObject* name_attr = interned(g_name, "__name__");
  if (module_attr == nullptr || name_attr == nullptr) {
    PyErr_Clear();
    return false;
  }
  bool result = false;
  PyObject* module = PyObject_GetAttr(type, module_attr);
  if (module != nullptr && PyUnicode_Check(module) && PyUnicode_CompareWithASCIIString(module, "numpy") == 0) {
    PyObject* name = PyObject_GetAttr(type, name_attr);
    result = name != nullptr && PyUnicode_Check(name) &&
             (PyUnicode_CompareWithASCIIString(name, "bool_") == 0 ||
              PyUnicode_CompareWithASCIIString(name, "bool") == 0);
    Py_XDECREF(name);
  }
  Py_XDECREF(module);
  PyErr_Clear();
  return result;
}

// Exactly `True` or `False`; a numpy boolean through its type's `__bool__`.
// Integers are refused: `optimize=1` is almost always a mistake.
bool bool_value(PyObject* obj, bool& out) {
  if (obj == Py_True || obj == Py_False) {
    out = obj == Py_True;
    return true;
  }
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  if (!is_numpy_bool_type(type)) {
    set_wrong_type(obj, "bool");
    return false;
  }
  PyObject* attr = interned(g_bool, "__bool__");
  if (attr == nullptr) return false;
  PyObject* method = PyObject_GetAttr(type, attr);
  if (method == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion", type);
    return false;
  }
  PyObject* result = PyObject_CallFunctionObjArgs(method, obj, nullptr);
  Py_DECREF(method);
  if (result == nullptr) return false;
  bool ok = result == Py_True || result == Py_False;
  if (ok) {
    out = result == Py_True;
  } else {
    set_wrong_type(result, "bool");
  }
  Py_DECREF(result);
  return ok;
}

bool convert_str(PyObject* obj, const char* name, std::string_view& out) {
  if (str_value(obj, out)) return true;
  prefix_argument_error(name);
  return false;
}

bool convert_bool(PyObject* obj, const char* name, bool& out) {
  if (bool_value(obj, out)) return true;
  prefix_argument_error(name);
  return false;
}

// ---------------------------------------------------------------------------
// Results

PyObject* finish(const morvalen::Result<std::string, morvalen::api::ApiError>& result) {
  if (result) return text_to_str(*result);
  PyObject* type = morvalen_error_type();
  if (type == nullptr) return nullptr;
  PyObject* message = text_to_str(result.error().to_string());
  if (message == nullptr) return nullptr;
  PyErr_SetObject(type, message);  // the single argument is the message
  Py_DECREF(message);
  return nullptr;
}

// ---------------------------------------------------------------------------
// The three functions

PyObject* py_simplify_expr(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"source", "optimize"};
    static constexpr Signature sig{"simplify_expr", names, 1, 1, 2};
    PyObject* slots[kMaxParams] = {};
    if (!bind_arguments(sig, args, nargs, kwnames, slots)) return nullptr;
    std::string_view source;
    if (!convert_str(slots[0], "source", source)) return nullptr;
    bool optimize = false;
    if (slots[1] != nullptr && !convert_bool(slots[1], "optimize", optimize)) return nullptr;
    return finish(morvalen::api::simplify_expr(source, optimize));
  });
}

PyObject* py_diff(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"source", "variable", "optimize"};
    static constexpr Signature sig{"diff", names, 2, 2, 3};
    PyObject* slots[kMaxParams] = {};
    if (!bind_arguments(sig, args, nargs, kwnames, slots)) return nullptr;
    std::string_view source;
    if (!convert_str(slots[0], "source", source)) return nullptr;
    std::string_view variable;
    if (!convert_str(slots[1], "variable", variable)) return nullptr;
    bool optimize = false;
    if (slots[2] != nullptr && !convert_bool(slots[2], "optimize", optimize)) return nullptr;
    return finish(morvalen::api::diff(source, variable, optimize));
  });
}

PyObject* py_emit_python(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"source", "function_name", "optimize"};
    static constexpr Signature sig{"emit_python", names, 2, 1, 3};
    PyObject* slots[kMaxParams] = {};
    if (!bind_arguments(sig, args, nargs, kwnames, slots)) return nullptr;
    std::string_view source;
    if (!convert_str(slots[0], "source", source)) return nullptr;
    std::string_view function_name = "_kernel";
    if (slots[1] != nullptr && !convert_str(slots[1], "function_name", function_name)) return nullptr;
    bool optimize = false;
    if (slots[2] != nullptr && !convert_bool(slots[2], "optimize", optimize)) return nullptr;
    return finish(morvalen::api::emit_python(source, function_name, optimize));
  });
}

using FastWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// The method table stores every function as `PyCFunction`; the flags tell the
// interpreter the real signature. The detour through `void (*)()` is the
// sanctioned way to convert between function pointer types without a warning.
PyCFunction as_cfunction(FastWithKeywords fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

// The doc strings are only text signatures, which the interpreter turns into
// `__text_signature__` (leaving `__doc__` empty).
PyMethodDef g_simplify_expr_def = {"simplify_expr", as_cfunction(py_simplify_expr), METH_FASTCALL | METH_KEYWORDS,
                                   "simplify_expr(source, *, optimize=False)\n--\n\n"};
PyMethodDef g_diff_def = {"diff", as_cfunction(py_diff), METH_FASTCALL | METH_KEYWORDS,
                          "diff(source, variable, *, optimize=False)\n--\n\n"};
PyMethodDef g_emit_python_def = {"emit_python", as_cfunction(py_emit_python), METH_FASTCALL | METH_KEYWORDS,
                                 "emit_python(source, function_name=\"_kernel\", *, optimize=False)\n--\n\n"};

// ---------------------------------------------------------------------------
// Module execution

// Adds `value` (a new reference, consumed; null means its creation failed) as
// attribute `name` and appends the name to `__all__`, creating the list when
// the module has none yet.
bool add_public(PyObject* module, const char* name, PyObject* value) {
  if (value == nullptr) return false;
  int added = PyModule_AddObjectRef(module, name, value);
  Py_DECREF(value);
  if (added < 0) return false;

  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr) return false;
    if (PyModule_AddObjectRef(module, "__all__", all) < 0) {
      Py_DECREF(all);
      return false;
    }
  }
  if (!PyList_Check(all)) {
    Py_DECREF(all);
    PyErr_SetString(PyExc_TypeError, "`__all__` must be a list");
    return false;
  }
  PyObject* entry = PyUnicode_FromString(name);
  int appended = entry == nullptr ? -1 : PyList_Append(all, entry);
  Py_XDECREF(entry);
  Py_DECREF(all);
  return appended == 0;
}

PyObject* new_function(PyObject* module, PyMethodDef* def) {
  PyObject* module_name = PyModule_GetNameObject(module);
  if (module_name == nullptr) return nullptr;
  PyObject* function = PyCFunction_NewEx(def, module, module_name);
  Py_DECREF(module_name);
  return function;
}

// Stops at the first failure; the import then fails with that error.
int exec_module(PyObject* module) noexcept {
  PyObject* ok = guarded([&]() -> PyObject* {
    if (!add_public(module, "__version__", PyUnicode_FromString(kVersion))) return nullptr;
    PyObject* error_type = morvalen_error_type();
    if (error_type == nullptr) return nullptr;
    Py_INCREF(error_type);
    if (!add_public(module, "MorvalenError", error_type)) return nullptr;
    if (!add_public(module, "simplify_expr", new_function(module, &g_simplify_expr_def))) return nullptr;
    if (!add_public(module, "diff", new_function(module, &g_diff_def))) return nullptr;
    if (!add_public(module, "emit_python", new_function(module, &g_emit_python_def))) return nullptr;
    Py_INCREF(Py_None);
    return Py_None;
  });
  if (ok == nullptr) return -1;
  Py_DECREF(ok);
  return 0;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_morvalen",  // m_name
    "",           // m_doc
    0,            // m_size: no per-module state
    nullptr,      // m_methods: the exec step adds the functions
    g_slots,      // m_slots
    nullptr,      // m_traverse
    nullptr,      // m_clear
    nullptr,      // m_free
};

}  // namespace

PyMODINIT_FUNC PyInit__morvalen(void) { return PyModuleDef_Init(&g_module_def); }
