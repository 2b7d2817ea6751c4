// The CPython extension module `_morvalen`: converts the arguments, calls the
// `api` pipeline, converts the result back. It uses the limited (stable) API
// only, so one build loads in every CPython from 3.10 on. The binding rules
// and helpers it shares with `_morvalen_ext` are in py_binding.h.

#include <string_view>

#include "api.h"
#include "py_binding.h"

namespace morvalen::py {

const char* const kInternalErrorName = "_morvalen.MorvalenInternalError";

namespace {
PyObject* g_morvalen_error = nullptr;
}  // namespace

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

}  // namespace morvalen::py

namespace {

using namespace morvalen::py;

constexpr const char* kVersion = "0.0.2";

// ---------------------------------------------------------------------------
// The three functions

PyObject* py_simplify_expr(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_source_optimize("simplify_expr", args, nargs, kwnames, morvalen::api::simplify_expr);
}

PyObject* py_diff(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_source_variable_optimize("diff", args, nargs, kwnames, morvalen::api::diff);
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
