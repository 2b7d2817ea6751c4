#include "py_binding.h"

#include <utility>

namespace morvalen::py {
namespace {

PyObject* g_internal_error = nullptr;
PyObject* g_qualname = nullptr;
PyObject* g_module = nullptr;
PyObject* g_name = nullptr;
PyObject* g_bool = nullptr;

const char* was_or_were(Py_ssize_t given) { return given == 1 ? "was" : "were"; }

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
    result =
        name != nullptr && PyUnicode_Check(name) &&
        (PyUnicode_CompareWithASCIIString(name, "bool_") == 0 || PyUnicode_CompareWithASCIIString(name, "bool") == 0);
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

}  // namespace

PyObject* internal_error_type() {
  if (g_internal_error != nullptr) return g_internal_error;
  PyObject* type = PyErr_NewException(kInternalErrorName, PyExc_BaseException, nullptr);
  if (type == nullptr) return nullptr;
  if (g_internal_error != nullptr) {
    Py_DECREF(type);
    return g_internal_error;
  }
  g_internal_error = type;
  return g_internal_error;
}

PyObject* text_to_str(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

void raise_internal(std::string_view text) noexcept {
  PyObject* type = internal_error_type();
  if (type == nullptr) return;  // the interpreter's own error (memory) stands
  PyObject* message = text_to_str(text);
  if (message == nullptr) return;
  PyErr_SetObject(type, message);
  Py_DECREF(message);
}

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
// Argument binding

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** slots) {
  if (nargs > sig.positional) {
    if (sig.required == sig.positional) {
      PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd %s given", sig.function,
                   sig.positional, nargs, was_or_were(nargs));
    } else {
      PyErr_Format(PyExc_TypeError, "%s() takes from %zd to %zd positional arguments but %zd %s given", sig.function,
                   sig.required, sig.positional, nargs, was_or_were(nargs));
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
// Module building

// The detour through `void (*)()` is the sanctioned way to convert between
// function pointer types without a warning.
PyCFunction as_cfunction(FastWithKeywords fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

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

}  // namespace morvalen::py
