// The CPython extension module `_morvalen_ext`: the operations of the
// `morvalen` package beyond the frozen `_morvalen` module, built from the same
// core library on the same limited API. It raises the very `MorvalenError`
// type of `_morvalen` (taken from that module when this one is executed), so
// one `except` clause catches the failures of both. Functions are listed once
// in `g_functions`; adding one means writing its entry point and its row.

#include <string>
#include <string_view>
#include <vector>

#include "api.h"
#include "py_binding.h"

namespace morvalen::py {

const char* const kInternalErrorName = "_morvalen_ext.MorvalenInternalError";

namespace {
PyObject* g_morvalen_error = nullptr;
}  // namespace

PyObject* morvalen_error_type() {
  if (g_morvalen_error == nullptr) raise_internal("MorvalenError is not loaded");
  return g_morvalen_error;
}

}  // namespace morvalen::py

namespace {

using namespace morvalen::py;
using morvalen::api::Backend;

// `_morvalen.MorvalenError`, kept for the life of the process.
bool load_morvalen_error() {
  if (g_morvalen_error != nullptr) return true;
  PyObject* module = PyImport_ImportModule("morvalen._morvalen");
  if (module == nullptr) return false;
  PyObject* type = PyObject_GetAttrString(module, "MorvalenError");
  Py_DECREF(module);
  if (type == nullptr) return false;
  if (g_morvalen_error != nullptr) {
    Py_DECREF(type);
    return true;
  }
  g_morvalen_error = type;
  return true;
}

// ---------------------------------------------------------------------------
// Argument conversion

// `None` (nothing) or a non-empty iterable of `str` other than a `str` itself,
// whose letters would read as one-letter names. Each failure is prefixed
// "argument 'NAME': ".
bool convert_names(PyObject* obj, const char* name, std::vector<std::string>& out) {
  if (obj == Py_None) return true;
  if (PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a sequence of parameter names, not a single 'str'", name);
    return false;
  }
  PyObject* iterator = PyObject_GetIter(obj);
  if (iterator == nullptr) {
    prefix_argument_error(name);
    return false;
  }
  bool ok = true;
  while (PyObject* item = PyIter_Next(iterator)) {
    std::string_view text;
    ok = convert_str(item, name, text);
    if (ok) out.emplace_back(text);
    Py_DECREF(item);
    if (!ok) break;
  }
  Py_DECREF(iterator);
  if (!ok || PyErr_Occurred() != nullptr) return false;
  if (out.empty()) {
    PyErr_Format(PyExc_ValueError, "argument '%s': expected at least one parameter name", name);
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// The functions

// emit_numpy and emit_python: (source, function_name="_kernel", *,
// optimize=False, wrt=None).
PyObject* emit_with(Backend backend, const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"source", "function_name", "optimize", "wrt"};
  const Signature sig{function, names, 2, 1, 4};
  PyObject* slots[kMaxParams] = {};
  if (!bind_arguments(sig, args, nargs, kwnames, slots)) return nullptr;
  std::string_view source;
  if (!convert_str(slots[0], "source", source)) return nullptr;
  std::string_view function_name = "_kernel";
  if (slots[1] != nullptr && !convert_str(slots[1], "function_name", function_name)) return nullptr;
  bool optimize = false;
  if (slots[2] != nullptr && !convert_bool(slots[2], "optimize", optimize)) return nullptr;
  std::vector<std::string> wrt;
  if (slots[3] != nullptr && !convert_names(slots[3], "wrt", wrt)) return nullptr;
  return finish(morvalen::api::emit(source, function_name, backend, optimize, wrt));
}

PyObject* py_emit_numpy(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* { return emit_with(Backend::Numpy, "emit_numpy", args, nargs, kwnames); });
}

PyObject* py_emit_python(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* { return emit_with(Backend::Python, "emit_python", args, nargs, kwnames); });
}

// simplify_program: (source, *, optimize=False).
PyObject* py_simplify_program(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_source_optimize("simplify_program", args, nargs, kwnames, morvalen::api::simplify_program);
}

// diff_program: (source, variable, *, optimize=False).
PyObject* py_diff_program(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_source_variable_optimize("diff_program", args, nargs, kwnames, morvalen::api::diff_program);
}

// The doc strings are only text signatures, which the interpreter turns into
// `__text_signature__` (leaving `__doc__` empty). Each row becomes a public
// attribute, in this order.
PyMethodDef g_functions[] = {
    {"emit_numpy", as_cfunction(py_emit_numpy), METH_FASTCALL | METH_KEYWORDS,
     "emit_numpy(source, function_name=\"_kernel\", *, optimize=False, wrt=None)\n--\n\n"},
    {"emit_python", as_cfunction(py_emit_python), METH_FASTCALL | METH_KEYWORDS,
     "emit_python(source, function_name=\"_kernel\", *, optimize=False, wrt=None)\n--\n\n"},
    {"simplify_program", as_cfunction(py_simplify_program), METH_FASTCALL | METH_KEYWORDS,
     "simplify_program(source, *, optimize=False)\n--\n\n"},
    {"diff_program", as_cfunction(py_diff_program), METH_FASTCALL | METH_KEYWORDS,
     "diff_program(source, variable, *, optimize=False)\n--\n\n"},
};

// ---------------------------------------------------------------------------
// Module execution

// Stops at the first failure; the import then fails with that error.
int exec_module(PyObject* module) noexcept {
  PyObject* ok = guarded([&]() -> PyObject* {
    if (!load_morvalen_error()) return nullptr;
    for (PyMethodDef& def : g_functions) {
      if (!add_public(module, def.ml_name, new_function(module, &def))) return nullptr;
    }
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
    "_morvalen_ext",  // m_name
    "",               // m_doc
    0,                // m_size: no per-module state
    nullptr,          // m_methods: the exec step adds the functions
    g_slots,          // m_slots
    nullptr,          // m_traverse
    nullptr,          // m_clear
    nullptr,          // m_free
};

}  // namespace

PyMODINIT_FUNC PyInit__morvalen_ext(void) { return PyModuleDef_Init(&g_module_def); }
