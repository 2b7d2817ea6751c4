#include "opt/lang.h"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>
#include <system_error>

#include "support/internal_error.h"
#include "support/number_text.h"
#include "support/overloaded.h"

namespace morvalen::opt {
namespace {

// Reads "[+-]digits" within the i64 range.
std::optional<std::int64_t> parse_int(std::string_view text) {
  std::string_view digits = text;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) digits.remove_prefix(1);
  if (digits.empty()) return std::nullopt;
  for (char c : digits)
    if (c < '0' || c > '9') return std::nullopt;
  std::string_view number = (!text.empty() && text.front() == '+') ? text.substr(1) : text;
  std::int64_t value = 0;
  auto [ptr, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (ec != std::errc() || ptr != number.data() + number.size()) return std::nullopt;
  return value;
}

// Reads decimal float text (exponents, "inf", "infinity", "nan" in any case, an
// optional leading sign); values beyond the range round to infinity or zero.
std::optional<double> parse_float(std::string_view text) {
  std::string_view body = text;
  bool negative = false;
  if (!body.empty() && (body.front() == '+' || body.front() == '-')) {
    negative = body.front() == '-';
    body.remove_prefix(1);
  }
  if (body.empty() || body.front() == '+' || body.front() == '-') return std::nullopt;
  double value = 0.0;
  auto [ptr, ec] = std::from_chars(body.data(), body.data() + body.size(), value, std::chars_format::general);
  if (ptr != body.data() + body.size()) return std::nullopt;
  if (ec == std::errc::result_out_of_range) {
    // The syntax is valid; let strtod round the magnitude (inf or a tiny value).
    std::string copy(body);
    value = std::strtod(copy.c_str(), nullptr);
  } else if (ec != std::errc()) {
    return std::nullopt;
  }
  return negative ? -value : value;
}

void append_escaped(std::string& out, std::string_view text) {
  out += '"';
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    switch (ch) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\0':
        out += "\\0";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          static constexpr char kHex[] = "0123456789abcdef";
          out += "\\u{";
          if (c >= 0x10) out += kHex[c >> 4];
          out += kHex[c & 0xF];
          out += '}';
        } else {
          out += ch;
        }
    }
  }
  out += '"';
}

}  // namespace

MathLang MathLang::make_bool(bool value) {
  MathLang n;
  n.kind_ = MathKind::Bool;
  n.ids_[0].value = value ? 1 : 0;
  return n;
}

MathLang MathLang::make_int(std::int64_t value) {
  MathLang n;
  n.kind_ = MathKind::Int;
  n.set_bits(static_cast<std::uint64_t>(value));
  return n;
}

MathLang MathLang::make_num(double value) {
  MathLang n;
  n.kind_ = MathKind::Num;
  n.set_bits(std::bit_cast<std::uint64_t>(value));
  return n;
}

MathLang MathLang::make_token(support::Symbol symbol) {
  MathLang n;
  n.kind_ = MathKind::TypeToken;
  n.ids_[0].value = symbol.index();
  return n;
}

MathLang MathLang::make(MathKind kind, std::span<const Id> children) {
  const MathKindInfo& info = kind_info(kind);
  if (info.arity == 0) throw InternalError("MathLang::make called for leaf variant " + std::string(info.name));
  if (children.size() != info.arity)
    throw InternalError("MathLang::make: " + std::string(info.name) + " takes " + std::to_string(info.arity) +
                        " children, got " + std::to_string(children.size()));
  MathLang n;
  n.kind_ = kind;
  for (std::size_t i = 0; i < children.size(); ++i) n.ids_[i] = children[i];
  return n;
}

bool MathLang::bool_value() const {
  if (kind_ != MathKind::Bool) throw InternalError("bool_value of " + to_string());
  return ids_[0].value != 0;
}

std::int64_t MathLang::int_value() const {
  if (kind_ != MathKind::Int) throw InternalError("int_value of " + to_string());
  return static_cast<std::int64_t>(bits());
}

double MathLang::num_value() const {
  if (kind_ != MathKind::Num) throw InternalError("num_value of " + to_string());
  return std::bit_cast<double>(bits());
}

support::Symbol MathLang::token() const {
  if (kind_ != MathKind::TypeToken) throw InternalError("token of " + to_string());
  return support::Symbol::from_index(ids_[0].value);
}

bool MathLang::matches_op(const MathLang& other) const {
  if (kind_ != other.kind_) return false;
  if (kind_ == MathKind::Num) return *this == other;
  // Bool, Int and TypeToken payloads sit in the first two words.
  if (is_leaf()) return ids_[0] == other.ids_[0] && ids_[1] == other.ids_[1];
  return true;
}

std::strong_ordering operator<=>(const MathLang& a, const MathLang& b) {
  if (auto c = a.kind_ <=> b.kind_; c != 0) return c;
  if (a.kind_ == MathKind::Bool) return a.bool_value() <=> b.bool_value();
  if (a.kind_ == MathKind::Int) return a.int_value() <=> b.int_value();
  if (a.kind_ == MathKind::Num) {
    double x = a.num_value();
    double y = b.num_value();
    bool xn = std::isnan(x);
    bool yn = std::isnan(y);
    if (xn || yn)
      return xn == yn ? std::strong_ordering::equal : (xn ? std::strong_ordering::greater : std::strong_ordering::less);
    if (x < y) return std::strong_ordering::less;
    if (x > y) return std::strong_ordering::greater;
    return std::strong_ordering::equal;
  }
  if (a.kind_ == MathKind::TypeToken) return a.ids_[0].value <=> b.ids_[0].value;
  for (std::size_t i = 0; i < 3; ++i)
    if (auto c = a.ids_[i].value <=> b.ids_[i].value; c != 0) return c;
  return std::strong_ordering::equal;
}

std::string format_num(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buf[64];
  double mag = std::fabs(value);
  if (mag != 0.0 && (mag >= 1e16 || mag < 1e-4)) {
    auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    std::string_view text(buf, static_cast<std::size_t>(res.ptr - buf));
    std::size_t e = text.find('e');
    std::string out(text.substr(0, e));
    out += 'e';
    std::string_view exp = text.substr(e + 1);
    if (!exp.empty() && exp.front() == '-') {
      out += '-';
      exp.remove_prefix(1);
    } else if (!exp.empty() && exp.front() == '+') {
      exp.remove_prefix(1);
    }
    while (exp.size() > 1 && exp.front() == '0') exp.remove_prefix(1);
    out += exp;
    return out;
  }
  std::string out = support::shortest_fixed(value);
  if (out.find('.') == std::string::npos) out += ".0";
  return out;
}

std::string MathLang::to_string() const {
  std::string out(kind_info(kind_).name);
  out += '(';
  if (kind_ == MathKind::Bool) {
    out += bool_value() ? "true" : "false";
  } else if (kind_ == MathKind::Int) {
    out += std::to_string(int_value());
  } else if (kind_ == MathKind::Num) {
    out += format_num(num_value());
  } else if (kind_ == MathKind::TypeToken) {
    append_escaped(out, token().text());
  } else {
    out += '[';
    bool first = true;
    for (Id c : children()) {
      if (!first) out += ", ";
      first = false;
      out += std::to_string(c.value);
    }
    out += ']';
  }
  out += ')';
  return out;
}

std::string FromOpError::to_string() const {
  std::string out = "failed to parse '" + op + "' with children [";
  for (std::size_t i = 0; i < children.size(); ++i) {
    if (i) out += ", ";
    out += std::to_string(children[i].value);
  }
  return out + "]";
}

Result<MathLang, FromOpError> from_op(std::string_view op, std::span<const Id> children) {
  if (children.empty()) {
    if (op == "true") return MathLang::make_bool(true);
    if (op == "false") return MathLang::make_bool(false);
    if (auto v = parse_int(op)) return MathLang::make_int(*v);
    if (auto v = parse_float(op)) return MathLang::make_num(*v);
  }
  for (std::size_t k = 0; k < kMathKindCount; ++k) {
    const MathKindInfo& info = detail::kKinds[k];
    if (info.arity != 0 && info.arity == children.size() && info.spelling == op)
      return MathLang::make(static_cast<MathKind>(k), children);
  }
  if (children.empty()) return MathLang::make_token(op);
  return unexpected(FromOpError{std::string(op), std::vector<Id>(children.begin(), children.end())});
}

void RecExpr::misplaced_child(const MathLang& node, Id child) const {
  throw InternalError("RecExpr::add: child " + std::to_string(child.value) + " of " + node.to_string() +
                      " does not precede position " + std::to_string(nodes_.size()));
}

Id RecExpr::root() const {
  if (nodes_.empty()) throw InternalError("RecExpr::root of an empty expression");
  return Id{static_cast<std::uint32_t>(nodes_.size() - 1)};
}

std::string RecExpr::to_string() const {
  std::string out;
  for (std::size_t i = 0; i < nodes_.size(); ++i) {
    out += std::to_string(i);
    out += ": ";
    out += nodes_[i].to_string();
    out += '\n';
  }
  return out;
}

std::string OptError::to_string() const {
  return std::visit(
      support::Overloaded{
          [](const SingleOutputOnly&) {
            return std::string("only single-output DAG is currently supported by optimize");
          },
          [](const UnsupportedCall& call) { return "unsupported call `" + call.name + "` in opt conversion"; },
          [](const InvalidExpr& e) { return "invalid expr during conversion: " + e.message; },
      },
      detail);
}

}  // namespace morvalen::opt
