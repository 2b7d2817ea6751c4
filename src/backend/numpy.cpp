#include "backend/numpy.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <span>
#include <variant>

#include "backend/python.h"
#include "backend/reachable.h"
#include "ir/const_conv.h"
#include "ir/dtype.h"
#include "ir/node.h"
#include "ir/ops.h"
#include "support/internal_error.h"
#include "support/number_text.h"

namespace morvalen::backend {
namespace {

using ir::BinaryOp;
using ir::Builtin;
using ir::DType;
using ir::NodeId;
using ir::UnaryOp;

// ---------------------------------------------------------------------------
// The operator table: everything this back end knows about each operator and
// builtin. A form is a Python expression in which "$0", "$1" and "$2" stand
// for the operands' temporaries and "$T" for the numpy type of the node's
// dtype. The operands of an arithmetic node already carry the node's dtype,
// and numpy 2 keeps the dtype of an array or numpy scalar against a Python
// literal, so a form written with `1` or `0` computes in the node's dtype.

// Module-level functions that some forms call; each is written into the text
// only when a form of the program needs it.
enum class Helper : std::uint8_t { None, Sigmoid, IntPow };
constexpr std::size_t kHelperCount = 3;

struct Form {
  std::string_view text;
  Helper helper = Helper::None;
};

// The dtype families whose operators read differently in numpy.
enum class Family : std::uint8_t { Bool, Unsigned, Signed, Float, Complex };

// A binary operator by the family of its operands; an empty override falls
// back to `general`. numpy has no `bool` subtraction and computes `%` and
// `**` of bools in int8; it refuses negative integer exponents; it has no
// complex remainder, which gives NaN like a domain error.
struct BinaryForms {
  Form general;
  Form on_bool;
  Form on_signed;
  Form on_complex;
};

constexpr BinaryForms binary_forms(BinaryOp op) {
  switch (op) {
    case BinaryOp::Add:
      return {{"$0 + $1"}, {"$0 | $1"}, {}, {}};
    case BinaryOp::Sub:
      return {{"$0 - $1"}, {"$0 ^ $1"}, {}, {}};
    case BinaryOp::Mul:
      return {{"$0 * $1"}, {"$0 & $1"}, {}, {}};
    case BinaryOp::Div:  // lowering admits floats and complex values only
      return {{"$0 / $1"}, {}, {}, {}};
    case BinaryOp::FloorDiv:  // lowering admits integers only
      return {{"$0 // $1"}, {}, {}, {}};
    case BinaryOp::Rem:
      return {{"$0 % $1"}, {"($0 % $1).astype($T)"}, {}, {"($0 - $1) * np.nan"}};
    case BinaryOp::Pow:
      return {{"$0 ** $1"}, {"($0 ** $1).astype($T)"}, {"_int_pow($0, $1)", Helper::IntPow}, {}};
    case BinaryOp::Eq:
      return {{"$0 == $1"}, {}, {}, {}};
    case BinaryOp::Ne:
      return {{"$0 != $1"}, {}, {}, {}};
    case BinaryOp::Lt:
      return {{"$0 < $1"}, {}, {}, {}};
    case BinaryOp::Le:
      return {{"$0 <= $1"}, {}, {}, {}};
    case BinaryOp::Gt:
      return {{"$0 > $1"}, {}, {}, {}};
    case BinaryOp::Ge:
      return {{"$0 >= $1"}, {}, {}, {}};
    case BinaryOp::And:
      return {{"np.logical_and($0, $1)"}, {}, {}, {}};
    case BinaryOp::Or:
      return {{"np.logical_or($0, $1)"}, {}, {}, {}};
  }
  throw InternalError("unknown binary operator");
}

// Lowering refuses `neg` of a bool; should one come, -1 and 0 read back as
// the same bools.
struct UnaryForms {
  Form general;
  Form on_bool;
};

constexpr UnaryForms unary_forms(UnaryOp op) {
  switch (op) {
    case UnaryOp::Neg:
      return {{"-$0"}, {"$0"}};
    case UnaryOp::Not:
      return {{"np.logical_not($0)"}, {}};
  }
  throw InternalError("unknown unary operator");
}

// A builtin by the family of its argument (which is the node's dtype).
// `on_integer` empty: the value is computed by `real` in float64 and
// converted back to the node's dtype with `astype` (toward zero).
struct BuiltinForms {
  Form real;
  Form on_complex;
  Form on_integer;
};

constexpr BuiltinForms builtin_forms(Builtin builtin) {
  switch (builtin) {
    case Builtin::Exp:
      return {{"np.exp($0)"}, {"np.exp($0)"}, {}};
    case Builtin::Log:
      return {{"np.log($0)"}, {"np.log($0)"}, {}};
    case Builtin::Sqrt:
      return {{"np.sqrt($0)"}, {"np.sqrt($0)"}, {}};
    case Builtin::Abs:
      return {{"np.abs($0)"}, {"np.abs($0).astype($T)"}, {"np.abs($0)"}};
    case Builtin::Sin:
      return {{"np.sin($0)"}, {"np.sin($0)"}, {}};
    case Builtin::Cos:
      return {{"np.cos($0)"}, {"np.cos($0)"}, {}};
    case Builtin::Tanh:
      return {{"np.tanh($0)"}, {"np.tanh($0)"}, {}};
    case Builtin::Sigmoid:
      return {{"_sigmoid($0)", Helper::Sigmoid}, {"1 / (1 + np.exp(-$0))"}, {}};
    case Builtin::Relu:
      // A NaN argument gives 0, as `x > 0` is false for it. Against the
      // literal 0 a bool selects int64, hence the conversion back.
      return {
          {"np.where($0 > 0, $0, 0)"}, {"np.where($0 > 0, $0, 0)"}, {"np.where($0 > 0, $0, 0).astype($T, copy=False)"}};
    case Builtin::Softplus:
      return {{"np.logaddexp(0, $0)"}, {"np.log(1 + np.exp($0))"}, {}};
    case Builtin::Floor:
      return {{"np.floor($0)"}, {"$0 * np.nan"}, {"$0"}};
    case Builtin::Ceil:
      return {{"np.ceil($0)"}, {"$0 * np.nan"}, {"$0"}};
    case Builtin::ExpSigmoid:
      return {{"1 / (1 + np.exp(-np.exp($0)))"}, {"1 / (1 + np.exp(-np.exp($0)))"}, {}};
    case Builtin::SigmoidLog:
      return {{"-np.logaddexp(0, -$0)"}, {"np.log(1 / (1 + np.exp(-$0)))"}, {}};
  }
  throw InternalError("unknown builtin");
}

// A conversion by the families of the value and of the target. A complex
// value keeps its real part for a real target (numpy would warn), but is
// tested against zero for `bool` as Python's bool() does.
constexpr std::string_view cast_form(Family from, Family to) {
  if (from == Family::Complex && to != Family::Complex && to != Family::Bool) return "$0.real.astype($T)";
  return "$0.astype($T)";
}

// The numpy scalar type of each dtype.
std::string_view numpy_type(DType dtype) {
  switch (dtype.kind) {
    case ir::DTypeKind::Bool:
      return "np.bool_";
    case ir::DTypeKind::UInt:
      switch (dtype.bits) {
        case 8:
          return "np.uint8";
        case 16:
          return "np.uint16";
        case 32:
          return "np.uint32";
        default:
          return "np.uint64";
      }
    case ir::DTypeKind::Int:
      switch (dtype.bits) {
        case 8:
          return "np.int8";
        case 16:
          return "np.int16";
        case 32:
          return "np.int32";
        default:
          return "np.int64";
      }
    case ir::DTypeKind::Float:
      if (dtype.is_bfloat) return "ml_dtypes.bfloat16";
      switch (dtype.bits) {
        case 16:
          return "np.float16";
        case 32:
          return "np.float32";
        default:
          return "np.float64";
      }
    case ir::DTypeKind::Complex:
      return dtype.bits == 64 ? "np.complex64" : "np.complex128";
  }
  throw InternalError("unknown dtype kind");
}

constexpr std::string_view kArgHelper =
    "def _arg(value, dtype):\n"
    "    # An array of another library (a Dask array) converts itself and stays lazy.\n"
    "    if not isinstance(value, np.ndarray) and hasattr(value, \"__array_function__\"):\n"
    "        return value.astype(dtype)\n"
    "    return np.asarray(value).astype(dtype, copy=False)\n";

// The helper definitions, in the order they are written.
struct HelperText {
  Helper helper;
  std::string_view name;
  std::string_view text;
};

constexpr std::array<HelperText, 2> kHelpers = {{
    {Helper::Sigmoid, "_sigmoid",
     "def _sigmoid(x):\n"
     "    # exp of a value <= 0 only: no overflow, full precision in both tails.\n"
     "    e = np.exp(-np.abs(x))\n"
     "    r = 1 / (1 + e)\n"
     "    return np.where(x >= 0, r, e * r)\n"},
    {Helper::IntPow, "_int_pow",
     "def _int_pow(a, b):\n"
     "    # numpy refuses negative integer exponents; a ** -n truncates toward\n"
     "    # zero, so it is 0 unless a is 1 or -1, where the parity of n decides.\n"
     "    p = a ** np.where(b < 0, b & 1, b)\n"
     "    return np.where((b >= 0) | (a == 1) | (a == -1), p, 0)\n"},
}};

constexpr std::array<std::string_view, 3> kReservedNames = {"np", "ml_dtypes", "_arg"};

// ---------------------------------------------------------------------------
// Emission

Family family_of(DType dtype) {
  switch (dtype.kind) {
    case ir::DTypeKind::Bool:
      return Family::Bool;
    case ir::DTypeKind::UInt:
      return Family::Unsigned;
    case ir::DTypeKind::Int:
      return Family::Signed;
    case ir::DTypeKind::Float:
      return Family::Float;
    case ir::DTypeKind::Complex:
      return Family::Complex;
  }
  throw InternalError("unknown dtype kind");
}

Form pick_binary(BinaryOp op, Family operands) {
  BinaryForms forms = binary_forms(op);
  Form special;
  switch (operands) {
    case Family::Bool:
      special = forms.on_bool;
      break;
    case Family::Signed:
      special = forms.on_signed;
      break;
    case Family::Complex:
      special = forms.on_complex;
      break;
    case Family::Unsigned:
    case Family::Float:
      break;
  }
  return special.text.empty() ? forms.general : special;
}

Form pick_unary(UnaryOp op, Family operand) {
  UnaryForms forms = unary_forms(op);
  return operand == Family::Bool && !forms.on_bool.text.empty() ? forms.on_bool : forms.general;
}

void append_temp(std::string& out, NodeId id) {
  out += 't';
  support::append_decimal(out, static_cast<std::uint64_t>(id.value));
}

// Writes `form` with its placeholders filled in; `operand` gives the text of
// operand i.
template <typename Operand>
void append_form(std::string& out, std::string_view form, std::string_view type_name, Operand&& operand) {
  for (std::size_t i = 0; i < form.size(); ++i) {
    char c = form[i];
    if (c != '$' || i + 1 == form.size()) {
      out += c;
      continue;
    }
    char next = form[++i];
    if (next == 'T') {
      out += type_name;
    } else if (next >= '0' && next <= '2') {
      operand(out, static_cast<std::size_t>(next - '0'));
    } else {
      throw InternalError("bad placeholder in numpy form");
    }
  }
}

void append_temps(std::string& out, std::string_view form, std::string_view type_name,
                  std::span<const NodeId> operands) {
  append_form(out, form, type_name, [&](std::string& text, std::size_t i) {
    if (i >= operands.size()) throw InternalError("numpy form reads a missing operand");
    append_temp(text, operands[i]);
  });
}

// A Python float literal reading back to `value` (with a point or an
// exponent, so that -0.0 keeps its sign); numpy's names for the non-finite.
void append_float(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "np.nan";
    return;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-np.inf" : "np.inf";
    return;
  }
  char digits[32];
  char* end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  std::string_view text(digits, static_cast<std::size_t>(end - digits));
  out += text;
  if (text.find_first_of(".e") == std::string_view::npos) out += ".0";
}

// The value of a constant scalar read as `dtype`'s kind: the alternative
// that the dtype calls for, converted as a cast of the constant would be.
void append_const(std::string& out, const ir::Scalar& value, DType dtype) {
  out += numpy_type(dtype);
  out += '(';
  const auto* c = std::get_if<ir::ComplexValue>(&value);
  switch (dtype.kind) {
    case ir::DTypeKind::Bool: {
      bool truth = c != nullptr ? (c->re != 0.0 || c->im != 0.0) : ir::scalar_to_f64(value).value_or(0.0) != 0.0;
      out += truth ? "True" : "False";
      break;
    }
    case ir::DTypeKind::UInt:
    case ir::DTypeKind::Int: {
      std::int64_t n = 0;
      if (const auto* i = std::get_if<std::int64_t>(&value)) {
        n = *i;
      } else {
        n = ir::f64_to_i64_saturating(c != nullptr ? c->re : ir::scalar_to_f64(value).value_or(0.0));
      }
      // The bits of the dtype's width, as numpy refuses a Python integer out
      // of the dtype's range.
      auto pattern = static_cast<std::uint64_t>(n);
      unsigned shift = 64U - dtype.bits;
      if (dtype.is_unsigned()) {
        support::append_decimal(out, (pattern << shift) >> shift);
      } else {
        support::append_decimal(out, static_cast<std::int64_t>(pattern << shift) >> shift);
      }
      break;
    }
    case ir::DTypeKind::Float:
      append_float(out, c != nullptr ? c->re : ir::scalar_to_f64(value).value_or(0.0));
      break;
    case ir::DTypeKind::Complex:
      append_float(out, c != nullptr ? c->re : ir::scalar_to_f64(value).value_or(0.0));
      out += ", ";
      append_float(out, c != nullptr ? c->im : 0.0);
      break;
  }
  out += ')';
}

class Emitter {
 public:
  Emitter(const ir::TypedDag& dag, std::string_view function_name)
      : dag_(dag),
        function_name_(function_name),
        needed_(reachable_nodes(dag)),
        names_(numpy_parameter_names(dag.params())) {}

  std::string run() && {
    std::vector<std::vector<NodeId>> dead_after = array_lifetimes();
    std::string body;
    for (std::size_t i = 0; i < dag_.size(); ++i) {
      if (!needed_[i]) continue;
      append_line(body, NodeId{i});
      append_del(body, dead_after[i]);
    }
    append_return(body);

    std::string out = "import numpy as np\n";
    if (uses_bfloat_) out += "import ml_dtypes\n";
    out += "\n\n";
    out += kArgHelper;
    for (const HelperText& helper : kHelpers) {
      if (!used_[static_cast<std::size_t>(helper.helper)]) continue;
      out += "\n\n";
      out += helper.text;
    }
    out += "\n\ndef ";
    out += function_name_;
    out += '(';
    for (std::size_t j = 0; j < names_.size(); ++j) {
      if (j > 0) out += ", ";
      out += names_[j];
    }
    out += "):\n    with np.errstate(all=\"ignore\"):\n";
    out += body;
    return out;
  }

 private:
  // For each node, the temporaries holding arrays whose last reader it is.
  // Deleting them there frees each array as soon as it is consumed, as numpy
  // code written as one expression does; kept alive to the end, a kernel over
  // large arrays holds all its intermediates at once and runs markedly slower.
  // A value that reads no parameter is a scalar and is left alone, as are the
  // outputs.
  std::vector<std::vector<NodeId>> array_lifetimes() const {
    std::vector<bool> is_array(dag_.size(), false);
    std::vector<std::size_t> last_reader(dag_.size(), 0);
    for (std::size_t i = 0; i < dag_.size(); ++i) {
      if (!needed_[i]) continue;
      const ir::Node& node = dag_.nodes()[i];
      is_array[i] = std::holds_alternative<ir::Param>(node);
      for_each_operand(node, [&](NodeId operand) {
        is_array[i] = is_array[i] || is_array[operand.value];
        last_reader[operand.value] = i;
      });
    }
    std::vector<bool> is_output(dag_.size(), false);
    for (NodeId out : dag_.outputs()) is_output[out.value] = true;
    std::vector<std::vector<NodeId>> dead_after(dag_.size());
    for (std::size_t i = 0; i < dag_.size(); ++i) {
      if (needed_[i] && is_array[i] && !is_output[i] && last_reader[i] > i) {
        dead_after[last_reader[i]].push_back(NodeId{i});
      }
    }
    return dead_after;
  }

  static void append_del(std::string& out, const std::vector<NodeId>& dead) {
    if (dead.empty()) return;
    out += "        del ";
    for (std::size_t k = 0; k < dead.size(); ++k) {
      if (k > 0) out += ", ";
      append_temp(out, dead[k]);
    }
    out += '\n';
  }

  std::string_view type_of(NodeId id) {
    DType dtype = dag_.dtype(id);
    if (dtype.is_float() && dtype.is_bfloat) uses_bfloat_ = true;
    return numpy_type(dtype);
  }

  void use(const Form& form) { used_[static_cast<std::size_t>(form.helper)] = true; }

  void append_line(std::string& out, NodeId id) {
    out += "        ";
    append_temp(out, id);
    out += " = ";
    std::string_view type_name = type_of(id);
    const ir::Node& node = dag_.node(id);
    if (const auto* p = std::get_if<ir::Param>(&node)) {
      if (p->index >= names_.size()) throw InternalError("invalid Param index in TypedDag");
      out += "_arg(";
      out += names_[p->index];
      out += ", ";
      out += type_name;
      out += ')';
    } else if (const auto* k = std::get_if<ir::Const>(&node)) {
      append_const(out, k->value, dag_.dtype(id));
    } else if (const auto* u = std::get_if<ir::Unary>(&node)) {
      Form form = pick_unary(u->op, family_of(dag_.dtype(u->arg)));
      use(form);
      append_temps(out, form.text, type_name, std::array{u->arg});
    } else if (const auto* b = std::get_if<ir::Binary>(&node)) {
      Form form = pick_binary(b->op, family_of(dag_.dtype(b->lhs)));
      use(form);
      append_temps(out, form.text, type_name, std::array{b->lhs, b->rhs});
    } else if (const auto* i = std::get_if<ir::If>(&node)) {
      append_temps(out, "np.where($0, $1, $2)", type_name, std::array{i->cond, i->then_branch, i->else_branch});
    } else if (const auto* c = std::get_if<ir::Call>(&node)) {
      if (c->args.empty()) throw InternalError("Call node must have at least one argument");
      append_call(out, c->builtin, c->args.front(), type_name);
    } else {
      const auto& cast = std::get<ir::Cast>(node);
      DType from = dag_.dtype(cast.arg);
      if (from == cast.dtype) {
        append_temp(out, cast.arg);
      } else {
        append_temps(out, cast_form(family_of(from), family_of(cast.dtype)), type_name, std::array{cast.arg});
      }
    }
    out += '\n';
  }

  void append_call(std::string& out, Builtin builtin, NodeId arg, std::string_view type_name) {
    BuiltinForms forms = builtin_forms(builtin);
    switch (family_of(dag_.dtype(arg))) {
      case Family::Float:
        use(forms.real);
        append_temps(out, forms.real.text, type_name, std::array{arg});
        return;
      case Family::Complex:
        use(forms.on_complex);
        append_temps(out, forms.on_complex.text, type_name, std::array{arg});
        return;
      case Family::Bool:
      case Family::Unsigned:
      case Family::Signed:
        break;
    }
    if (!forms.on_integer.text.empty()) {
      use(forms.on_integer);
      append_temps(out, forms.on_integer.text, type_name, std::array{arg});
      return;
    }
    // Computed in float64, then converted toward zero.
    use(forms.real);
    out += '(';
    append_form(out, forms.real.text, "np.float64", [&](std::string& text, std::size_t) {
      append_temp(text, arg);
      text += ".astype(np.float64)";
    });
    out += ").astype(";
    out += type_name;
    out += ')';
  }

  void append_return(std::string& out) {
    const auto& outputs = dag_.outputs();
    out += "        return ";
    if (outputs.empty()) out += "()";
    for (std::size_t k = 0; k < outputs.size(); ++k) {
      if (k > 0) out += ", ";
      append_temp(out, outputs[k]);
    }
    out += '\n';
  }

  const ir::TypedDag& dag_;
  std::string_view function_name_;
  std::vector<bool> needed_;
  std::vector<std::string> names_;
  std::array<bool, kHelperCount> used_{};
  bool uses_bfloat_ = false;
};

}  // namespace

bool is_reserved_numpy_name(std::string_view name) {
  if (std::find(kReservedNames.begin(), kReservedNames.end(), name) != kReservedNames.end()) return true;
  return std::any_of(kHelpers.begin(), kHelpers.end(), [&](const HelperText& h) { return h.name == name; });
}

std::vector<std::string> numpy_parameter_names(const std::vector<ir::ParamDecl>& params) {
  return parameter_names_avoiding(params, is_reserved_numpy_name);
}

std::string emit_numpy(const ir::TypedDag& dag, std::string_view function_name) {
  return Emitter(dag, function_name).run();
}

}  // namespace morvalen::backend
