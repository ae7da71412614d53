#include "dialect/backend.h"

#include <array>

#include "json/write.h"

namespace quorvel {

namespace {

struct Dialect {
  std::string_view name;
  char quote;
  bool numbered_params;
  std::string_view false_text;
  std::string_view true_text;
  // Longest identifier the server keeps as written, in bytes; 0 for no limit
  // worth checking (MySQL refuses an overlong name by itself).
  size_t max_ident_bytes;
};

constexpr std::array<Dialect, 3> kDialects = {{
    {"mysql", '`', false, "0", "1", 0},
    {"postgres", '"', true, "FALSE", "TRUE", 63},
    {"sqlite", '"', false, "0", "1", 0},
}};

const Dialect& dialect_of(Backend::Id id) { return kDialects[id]; }

struct NamedBackend {
  std::string_view name;
  Backend::Id id;
};

constexpr NamedBackend kNames[] = {
    {"mysql", Backend::MySql},      {"pg", Backend::Postgres}, {"postgres", Backend::Postgres},
    {"postgresql", Backend::Postgres}, {"sqlite", Backend::Sqlite},
};

}  // namespace

std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

Result<Backend> Backend::parse(std::string_view name) {
  std::string lower = ascii_lower(name);
  for (const NamedBackend& n : kNames)
    if (n.name == lower) return Backend(n.id);
  return Err("不支持的后端: " + std::string(name));
}

std::string_view Backend::name() const { return dialect_of(id_).name; }

Status Backend::append_ident(std::string& out, std::string_view name) const {
  if (name.find('\0') != std::string_view::npos) {
    std::string shown;
    write_json_string(name, shown);
    return Err("标识符 " + shown + " 含 NUL 字符，任何后端都无法安全引用（拒绝生成 SQL）");
  }
  // PostgreSQL silently truncates longer names, so two different names
  // could address the same column or table, and result columns come back
  // under a name the row shape does not know.
  if (size_t max = dialect_of(id_).max_ident_bytes; max && name.size() > max) {
    std::string shown;
    write_json_string(name, shown);
    return Err("标识符 " + shown + " 超过 " + std::string(this->name()) + " 的 " + std::to_string(max) +
               " 字节上限，会被服务器截断成另一个名字（拒绝生成 SQL）");
  }
  char q = dialect_of(id_).quote;
  out.reserve(out.size() + name.size() + 2);
  out.push_back(q);
  for (char c : name) {
    if (c == q) out.push_back(q);
    out.push_back(c);
  }
  out.push_back(q);
  return ok();
}

Result<std::string> Backend::quote_ident(std::string_view name) const {
  std::string out;
  if (Status s = append_ident(out, name); !s) return s.err();
  return out;
}

Result<std::string> Backend::qualified_table(const std::optional<std::string>& namespace_,
                                             std::string_view table) const {
  std::string out;
  if (namespace_ && !namespace_->empty()) {
    if (Status s = append_ident(out, *namespace_); !s) return s.err();
    out.push_back('.');
  }
  if (Status s = append_ident(out, table); !s) return s.err();
  return out;
}

void Backend::append_placeholder(std::string& out, size_t n) const {
  if (dialect_of(id_).numbered_params) {
    out.push_back('$');
    out += std::to_string(n);
  } else {
    out.push_back('?');
  }
}

std::string_view Backend::false_text() const { return dialect_of(id_).false_text; }
std::string_view Backend::true_text() const { return dialect_of(id_).true_text; }

}  // namespace quorvel
