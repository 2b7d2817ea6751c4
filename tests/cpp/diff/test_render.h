#pragma once

// Compact text forms of canonical expressions and typed DAG nodes, so that tests
// can assert whole structures in one comparison.

#include <charconv>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "diff/expr.h"
#include "ir/dag.h"

namespace morvalen::diff::testing {

// Joins pieces by appending (chains of operator+ on strings trip a false
// -Wrestrict in GCC 12 at -O3).
inline std::string cat(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (std::string_view p : parts) out.append(p);
  return out;
}

inline std::string number_text(double v) {
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  std::string s(buf, end);
  if (s.find_first_of(".en") == std::string::npos) s += ".0";
  return s;
}

inline std::string literal_text(const Literal& lit) {
  return std::visit(
      [](const auto& l) -> std::string {
        using L = std::decay_t<decltype(l)>;
        if constexpr (std::is_same_v<L, literal::Bool>) {
          return l.value ? "true" : "false";
        } else if constexpr (std::is_same_v<L, literal::Int>) {
          return std::to_string(l.value);
        } else if constexpr (std::is_same_v<L, literal::Float>) {
          return number_text(l.value);
        } else if constexpr (std::is_same_v<L, literal::Complex>) {
          return cat({"(", number_text(l.re), ",", number_text(l.im), "j)"});
        } else if constexpr (std::is_same_v<L, literal::E>) {
          return "e";
        } else {
          return "pi";
        }
      },
      lit);
}

/// Renders `id` recursively: parameters by name, constants by value, `(a + b)`,
/// `neg(a)`, `sin(a)`, `select(c, a, b)`, `cast<f32>(a)` (`cast!` if explicit).
inline std::string render(const std::vector<CanonExpr>& exprs, CanonExprId id) {
  if (id.value >= exprs.size()) return cat({"<invalid ", id.debug(), ">"});
  return std::visit(
      [&](const auto& e) -> std::string {
        using T = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<T, canon::Parameter>) {
          return e.name;
        } else if constexpr (std::is_same_v<T, canon::Constant>) {
          return literal_text(e.value);
        } else if constexpr (std::is_same_v<T, canon::Unary>) {
          return cat({ir::to_str(e.op), "(", render(exprs, e.operand), ")"});
        } else if constexpr (std::is_same_v<T, canon::Binary>) {
          return cat({"(", render(exprs, e.left), " ", ir::as_str(e.op), " ", render(exprs, e.right), ")"});
        } else if constexpr (std::is_same_v<T, canon::Call>) {
          std::string s = cat({e.name, "("});
          for (std::size_t i = 0; i < e.args.size(); ++i) {
            s.append(i ? ", " : "");
            s.append(render(exprs, e.args[i]));
          }
          s.append(")");
          return s;
        } else if constexpr (std::is_same_v<T, canon::Select>) {
          return cat({"select(", render(exprs, e.cond), ", ", render(exprs, e.then_branch), ", ",
                      render(exprs, e.else_branch), ")"});
        } else {
          return cat({e.is_explicit ? "cast!<" : "cast<", ir::to_str(e.dtype), ">(", render(exprs, e.operand), ")"});
        }
      },
      exprs[id.value]);
}

/// One line per node: "index: dtype = form", with operands by index.
inline std::string dag_text(const ir::TypedDag& dag) {
  std::string out;
  for (std::size_t i = 0; i < dag.size(); ++i) {
    std::string form = std::visit(
        [&](const auto& n) -> std::string {
          using T = std::decay_t<decltype(n)>;
          if constexpr (std::is_same_v<T, ir::Param>) {
            return cat({"param ", std::to_string(n.index)});
          } else if constexpr (std::is_same_v<T, ir::Const>) {
            return std::visit(
                [](const auto& v) -> std::string {
                  using V = std::decay_t<decltype(v)>;
                  if constexpr (std::is_same_v<V, bool>) {
                    return cat({"const ", v ? "true" : "false"});
                  } else if constexpr (std::is_same_v<V, std::int64_t>) {
                    return cat({"const ", std::to_string(v)});
                  } else if constexpr (std::is_same_v<V, double>) {
                    return cat({"const ", number_text(v)});
                  } else {
                    return cat({"const (", number_text(v.re), ",", number_text(v.im), "j)"});
                  }
                },
                n.value);
          } else if constexpr (std::is_same_v<T, ir::Unary>) {
            return cat({ir::to_str(n.op), " %", std::to_string(n.arg.value)});
          } else if constexpr (std::is_same_v<T, ir::Binary>) {
            return cat({"%", std::to_string(n.lhs.value), " ", ir::as_str(n.op), " %", std::to_string(n.rhs.value)});
          } else if constexpr (std::is_same_v<T, ir::If>) {
            return cat({"if %", std::to_string(n.cond.value), " %", std::to_string(n.then_branch.value), " %",
                        std::to_string(n.else_branch.value)});
          } else if constexpr (std::is_same_v<T, ir::Call>) {
            std::string s = cat({ir::to_str(n.builtin), "("});
            for (std::size_t k = 0; k < n.args.size(); ++k) {
              s.append(k ? ", %" : "%");
              s.append(std::to_string(n.args[k].value));
            }
            s.append(")");
            return s;
          } else {
            return cat({n.is_explicit ? "cast! %" : "cast %", std::to_string(n.arg.value)});
          }
        },
        dag.nodes()[i]);
    out.append(cat({std::to_string(i), ": ", ir::to_str(dag.dtypes()[i]), " = ", form, "\n"}));
  }
  out += "out:";
  for (ir::NodeId o : dag.outputs()) out.append(cat({" %", std::to_string(o.value)}));
  return out;
}

}  // namespace morvalen::diff::testing
