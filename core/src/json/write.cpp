#include "json/write.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace quorvel {

void write_double(double d, std::string& out) {
  if (d == 0.0) {
    out += "0.0";  // negative zero included: both are the number zero
    return;
  }
  // Scientific form gives the shortest round-trip digits and the exponent;
  // the layout is then chosen from the exponent.
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<size_t>(res.ptr - buf));
  bool negative = sci.front() == '-';
  if (negative) sci.remove_prefix(1);
  size_t e_pos = sci.find('e');
  std::string digits;
  digits.reserve(20);
  for (char c : sci.substr(0, e_pos))
    if (c != '.') digits.push_back(c);
  int exponent = std::atoi(std::string(sci.substr(e_pos + 1)).c_str());

  if (negative) out.push_back('-');
  int n = static_cast<int>(digits.size());
  if (exponent >= -5 && exponent <= 15) {
    if (exponent < 0) {
      out += "0.";
      out.append(static_cast<size_t>(-exponent - 1), '0');
      out += digits;
    } else if (exponent + 1 >= n) {
      out += digits;
      out.append(static_cast<size_t>(exponent + 1 - n), '0');
      out += ".0";
    } else {
      out.append(digits, 0, static_cast<size_t>(exponent + 1));
      out.push_back('.');
      out.append(digits, static_cast<size_t>(exponent + 1));
    }
    return;
  }
  out.push_back(digits[0]);
  if (n > 1) {
    out.push_back('.');
    out.append(digits, 1);
  }
  out.push_back('e');
  out += std::to_string(exponent);
}

void write_json_string(std::string_view s, std::string& out) {
  static const char kHex[] = "0123456789abcdef";
  out.push_back('"');
  size_t run = 0;  // start of the pending run of unescaped bytes
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(s, run, i - run);
    run = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        out += "\\u00";
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 0xF]);
    }
  }
  out.append(s, run, s.size() - run);
  out.push_back('"');
}

void write_json(const Value& v, std::string& out) {
  switch (v.kind()) {
    case Kind::Null: out += "null"; break;
    case Kind::Bool: out += v.as_bool() ? "true" : "false"; break;
    case Kind::UInt: out += std::to_string(v.as_uint()); break;
    case Kind::Int: out += std::to_string(v.as_int()); break;
    case Kind::Double: write_double(v.as_double(), out); break;
    case Kind::String: write_json_string(v.as_string(), out); break;
    case Kind::Array: {
      out.push_back('[');
      bool first = true;
      for (const Value& e : v.as_array()) {
        if (!first) out.push_back(',');
        first = false;
        write_json(e, out);
      }
      out.push_back(']');
      break;
    }
    case Kind::Object: {
      out.push_back('{');
      bool first = true;
      for (const auto& [k, e] : v.as_object()) {
        if (!first) out.push_back(',');
        first = false;
        write_json_string(k, out);
        out.push_back(':');
        write_json(e, out);
      }
      out.push_back('}');
      break;
    }
  }
}

}  // namespace quorvel
