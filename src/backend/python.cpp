#include "backend/python.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <set>
#include <variant>

#include "backend/reachable.h"
#include "ir/dtype.h"
#include "ir/node.h"
#include "ir/ops.h"
#include "support/internal_error.h"
#include "support/number_text.h"

namespace morvalen::backend {
namespace {

using ir::NodeId;

constexpr std::array<std::string_view, 35> kKeywords = {
    "False", "None",     "True",  "and",    "as",   "assert", "async",  "await",    "break",
    "class", "continue", "def",   "del",    "elif", "else",   "except", "finally",  "for",
    "from",  "global",   "if",    "import", "in",   "is",     "lambda", "nonlocal", "not",
    "or",    "pass",     "raise", "return", "try",  "while",  "with",   "yield"};

// The module and the Python builtins that emitted lines call: the Python texts
// of the vocabulary (ir/ops), and the casts and constants below.
constexpr std::array<std::string_view, 6> kReserved = {"math", "abs", "bool", "complex", "float", "int"};

bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

bool is_temporary_name(std::string_view name) {
  return name.size() >= 2 && name.front() == 't' && std::all_of(name.begin() + 1, name.end(), is_ascii_digit);
}

void append_temp(std::string& out, NodeId id) {
  out += 't';
  support::append_decimal(out, static_cast<std::uint64_t>(id.value));
}

// Infinities and NaN have no literal in Python.
void append_float(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "float('nan')";
  } else if (std::isinf(value)) {
    out += value < 0 ? "float('-inf')" : "float('inf')";
  } else {
    support::append_shortest_fixed(out, value);
  }
}

void append_const(std::string& out, const ir::Scalar& value, ir::DType dtype) {
  if (const bool* b = std::get_if<bool>(&value)) {
    out += *b ? "True" : "False";
  } else if (const auto* i = std::get_if<std::int64_t>(&value)) {
    // An unsigned value is held as its 64-bit pattern.
    if (dtype.is_unsigned()) {
      support::append_decimal(out, static_cast<std::uint64_t>(*i));
    } else {
      support::append_decimal(out, *i);
    }
  } else if (const auto* f = std::get_if<double>(&value)) {
    append_float(out, *f);
  } else {
    const auto& c = std::get<ir::ComplexValue>(value);
    out += "complex(";
    append_float(out, c.re);
    out += ", ";
    append_float(out, c.im);
    out += ')';
  }
}

// Writes a Python text of the vocabulary, the operand's temporary standing in
// for every placeholder.
void append_template(std::string& out, std::string_view text, NodeId operand) {
  for (char c : text) {
    if (c == ir::kPythonOperand) {
      append_temp(out, operand);
    } else {
      out += c;
    }
  }
}

void append_cast(std::string& out, const ir::Cast& cast, ir::DType source) {
  ir::DType target = cast.dtype;
  if (source == target) {
    append_temp(out, cast.arg);
    return;
  }
  // Python's int() and float() refuse complex values; a complex value cast to
  // a real type keeps its real part.
  std::string_view part = source.is_complex() ? ".real" : "";
  switch (target.kind) {
    case ir::DTypeKind::Bool:
      out += "bool(";
      append_temp(out, cast.arg);
      out += ')';
      return;
    case ir::DTypeKind::UInt:
    case ir::DTypeKind::Int:
      out += "int(";
      append_temp(out, cast.arg);
      out += part;
      out += ')';
      return;
    case ir::DTypeKind::Float:
      out += "float(";
      append_temp(out, cast.arg);
      out += part;
      out += ')';
      return;
    case ir::DTypeKind::Complex:
      if (source.is_complex()) {
        append_temp(out, cast.arg);
      } else {
        out += "complex(";
        append_temp(out, cast.arg);
        out += ", 0.0)";
      }
      return;
  }
  throw InternalError("unknown dtype kind");
}

void append_line(std::string& out, const ir::TypedDag& dag, NodeId id, const std::vector<std::string>& names) {
  out += "    ";
  append_temp(out, id);
  out += " = ";
  const ir::Node& node = dag.node(id);
  if (const auto* p = std::get_if<ir::Param>(&node)) {
    if (p->index >= names.size()) throw InternalError("invalid Param index in TypedDag");
    out += names[p->index];
  } else if (const auto* k = std::get_if<ir::Const>(&node)) {
    append_const(out, k->value, dag.dtype(id));
  } else if (const auto* u = std::get_if<ir::Unary>(&node)) {
    append_template(out, ir::info(u->op).python, u->arg);
  } else if (const auto* b = std::get_if<ir::Binary>(&node)) {
    out += '(';
    append_temp(out, b->lhs);
    out += ' ';
    out += ir::as_str(b->op);
    out += ' ';
    append_temp(out, b->rhs);
    out += ')';
  } else if (const auto* i = std::get_if<ir::If>(&node)) {
    out += '(';
    append_temp(out, i->then_branch);
    out += " if ";
    append_temp(out, i->cond);
    out += " else ";
    append_temp(out, i->else_branch);
    out += ')';
  } else if (const auto* c = std::get_if<ir::Call>(&node)) {
    if (c->args.empty()) throw InternalError("Call node must have at least one argument");
    append_template(out, ir::info(c->builtin).python, c->args.front());
  } else {
    const auto& cast = std::get<ir::Cast>(node);
    append_cast(out, cast, dag.dtype(cast.arg));
  }
  out += '\n';
}

}  // namespace

bool is_valid_python_identifier(std::string_view name) {
  if (name.empty() || is_ascii_digit(name.front())) return false;
  for (char c : name) {
    if (!is_ascii_letter(c) && !is_ascii_digit(c) && c != '_') return false;
  }
  return std::find(kKeywords.begin(), kKeywords.end(), name) == kKeywords.end();
}

bool is_reserved_python_name(std::string_view name) {
  return std::find(kReserved.begin(), kReserved.end(), name) != kReserved.end();
}

std::vector<std::string> python_parameter_names(const std::vector<ir::ParamDecl>& params) {
  return parameter_names_avoiding(params, is_reserved_python_name);
}

std::vector<std::string> parameter_names_avoiding(const std::vector<ir::ParamDecl>& params,
                                                  bool (*is_reserved)(std::string_view)) {
  std::vector<std::string> names;
  names.reserve(params.size());
  std::set<std::string, std::less<>> taken;
  for (std::size_t j = 0; j < params.size(); ++j) {
    const std::string& declared = params[j].name;
    std::string name;
    if (is_valid_python_identifier(declared) && !is_reserved(declared) && !is_temporary_name(declared) &&
        !taken.contains(declared)) {
      name = declared;
    } else {
      name.push_back('p');
      support::append_decimal(name, static_cast<std::uint64_t>(j));
      while (taken.contains(name)) name += '_';
    }
    taken.insert(name);
    names.push_back(std::move(name));
  }
  return names;
}

std::string emit_python(const ir::TypedDag& dag, std::string_view function_name) {
  std::vector<bool> needed = reachable_nodes(dag);
  std::vector<std::string> names = python_parameter_names(dag.params());

  std::string out = "import math\n\ndef ";
  out += function_name;
  out += '(';
  for (std::size_t j = 0; j < names.size(); ++j) {
    if (j > 0) out += ", ";
    out += names[j];
  }
  out += "):\n";

  for (std::size_t i = 0; i < dag.size(); ++i) {
    if (needed[i]) append_line(out, dag, NodeId{i}, names);
  }

  const auto& outputs = dag.outputs();
  if (outputs.size() == 1) {
    out += "    return ";
    append_temp(out, outputs.front());
  } else {
    out += "    return (";
    for (std::size_t k = 0; k < outputs.size(); ++k) {
      if (k > 0) out += ", ";
      append_temp(out, outputs[k]);
    }
    out += ')';
  }
  out += '\n';
  return out;
}

}  // namespace morvalen::backend
