// SQL translation methods: commands to SQL, and flat rows back to documents.
#include <charconv>
#include <cmath>
#include <memory_resource>
#include <new>
#include <vector>

#include "args.h"
#include "convert.h"
#include "dialect/row.h"
#include "dialect/row_restore.h"
#include "dialect/translate.h"
#include "methods/methods.h"
#include "registry_object.h"

namespace quorvel::py {

namespace {

constexpr Param kDialectTranslate[] = {{"backend", ArgType::Str, true}, {"cmd", ArgType::Any, true}};

PyObject* dialect_translate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!bind_args("dialect_translate", kDialectTranslate, args, nargs, kwnames, a)) return nullptr;
  std::string_view backend_name;
  Value cmd;
  if (!str_arg(a[0], "", backend_name) || !value_arg(a[1], cmd)) return nullptr;
  Borrow b = Borrow::shared(self);
  if (!b.ok()) return nullptr;
  Result<Backend> backend = Backend::parse(backend_name);
  if (!backend) return raise_core_error(backend.error());
  Result<Value> out = quorvel::translate(*backend, cmd, b.core());
  if (!out) return raise_core_error(out.error());
  return to_py(std::move(out).value());
}

// Keeps the memory of restorations (row tables, arenas) between calls, so
// that a host restoring result after result reuses memory that is already
// mapped instead of faulting fresh pages in each time. Per thread, since calls on
// several threads may run at once; bounded, so one huge result does not pin
// its memory for good.
class BlockCache : public std::pmr::memory_resource {
 public:
  ~BlockCache() override {
    for (const Block& b : free_) ::operator delete(b.data, std::align_val_t{b.align});
  }

 private:
  struct Block {
    void* data;
    size_t size;
    size_t align;
  };
  static constexpr size_t kKeepBytes = size_t{64} << 20;

  // The smallest kept block that fits; a block handed out larger than asked
  // is kept afterwards at the size asked.
  void* do_allocate(size_t bytes, size_t align) override {
    size_t best = free_.size();
    for (size_t i = 0; i < free_.size(); ++i) {
      const Block& b = free_[i];
      if (b.size >= bytes && b.align == align && (best == free_.size() || b.size < free_[best].size)) best = i;
    }
    if (best == free_.size()) return ::operator new(bytes, std::align_val_t{align});
    void* data = free_[best].data;
    kept_ -= free_[best].size;
    free_[best] = free_.back();
    free_.pop_back();
    return data;
  }
  void do_deallocate(void* p, size_t bytes, size_t align) override {
    if (kept_ + bytes > kKeepBytes) {
      ::operator delete(p, std::align_val_t{align});
      return;
    }
    free_.push_back(Block{p, bytes, align});
    kept_ += bytes;
  }
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override { return this == &other; }

  std::vector<Block> free_;
  size_t kept_ = 0;
};

// The host's rows seen through the shape's columns. Identities and the
// columns of related documents are read from every row, so they are looked
// up in one pass while each row is at hand; the other columns are read from
// the first row of each document only and are looked up on first use. Every
// cell read is held by a strong reference, as are the rows: a key's __eq__
// may run code that changes them, and nothing read may go away under the
// restoration. The documents reuse these objects instead of rebuilding them.
class PyRows final : public RowSource {
 public:
  explicit PyRows(std::pmr::memory_resource* memory) : rows_(memory), cells_(memory), flags_(memory) {}
  ~PyRows() override {
    for (size_t i = 0; i < cells_.size(); ++i)
      if (cells_[i] != kUnread && !(flags_[i] & kGiven)) Py_XDECREF(cells_[i]);
    for (PyObject* r : rows_) Py_XDECREF(r);
    for (PyObject* k : aliases_) Py_XDECREF(k);
  }

  // False with a Python error set.
  bool collect(PyObject* rows, const RowShape& shape) {
    std::vector<size_t> eager;
    for (const RowCol& c : shape.columns) {
      if (c.is_array || (c.path.size() == 1 && c.path[0] == "_id")) eager.push_back(aliases_.size());
      if (!add_alias(c.alias)) return false;
    }
    if (shape.present && !add_alias(*shape.present)) return false;
    width_ = aliases_.size();
    rows_.reserve(static_cast<size_t>(PySequence_Fast_GET_SIZE(rows)));
    cells_.reserve(rows_.capacity() * width_);
    flags_.reserve(cells_.capacity());
    // Re-read the size each round: converting a row may run code that shrinks the list.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(rows); ++i) {
      PyObject* row = PySequence_Fast_GET_ITEM(rows, i);
      if (PyDict_Check(row)) {
        rows_.push_back(Py_NewRef(row));
        cells_.resize(rows_.size() * width_, kUnread);
        flags_.resize(cells_.size(), 0);
        for (size_t col : eager)
          if (!at(rows_.size() - 1, col) && PyErr_Occurred()) return false;
        continue;
      }
      // Not a document, but it must still be a value the host could pass.
      Py_INCREF(row);
      Value ignored;
      bool good = py_to_json(row, ignored);
      Py_DECREF(row);
      if (!good) return false;
      rows_.push_back(nullptr);
      cells_.resize(rows_.size() * width_, kUnread);
      flags_.resize(cells_.size(), 0);
    }
    return true;
  }

  size_t size() const override { return rows_.size(); }
  Cell cell(size_t row, size_t col) const override {
    PyObject* c = at(row, col);
    if (!c) return Cell::Missing;
    return c == Py_None ? Cell::Null : Cell::Present;
  }
  bool value(size_t row, size_t col, Value& out) const override {
    if (PyErr_Occurred()) return false;
    PyObject* c = at(row, col);
    if (!c) {
      out = Value();
      return !PyErr_Occurred();
    }
    return py_to_json(c, out);
  }
  // Strings and integers, the usual identities, are keyed straight from the
  // object, exactly as identity_key keys their converted values.
  bool key_text(size_t row, size_t col, std::string& out) const override {
    PyObject* c = at(row, col);
    if (c && PyUnicode_CheckExact(c)) {
      Py_ssize_t size = 0;
      const char* data = PyUnicode_AsUTF8AndSize(c, &size);
      if (!data) return false;
      (out += 's').append(data, static_cast<size_t>(size));
      return true;
    }
    if (c && PyLong_CheckExact(c)) {
      int overflow = 0;
      long long v = PyLong_AsLongLongAndOverflow(c, &overflow);
      if (overflow == 0) {
        char buf[24];
        (out += 'i').append(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
        return true;
      }
    }
    return RowSource::key_text(row, col, out);
  }

  // The cell's object, or null when the row lacks it; looked up on first use.
  // A failed lookup leaves its error set and reads as missing.
  PyObject* at(size_t row, size_t col) const {
    size_t i = row * width_ + col;
    PyObject*& c = cells_[i];
    if (c == kUnread) {
      // After a failed lookup no more Python code may run: restoration goes
      // on to its end and the pending error is raised then.
      if (PyErr_Occurred()) return nullptr;
      c = rows_[row] ? lookup(rows_[row], aliases_[col]) : nullptr;
      // Judged while the object is at hand, so the result need not touch it.
      if (c && is_own_conversion(c)) flags_[i] |= kSame;
    }
    return c;
  }

  void prefetch(CellRef ref) const {
    PyObject* c = cells_[ref.row * width_ + ref.col];
    if (c != kUnread) __builtin_prefetch(c);
  }

  // A new reference to the cell's value for the result: the host's own
  // object when converting it would give back an equal one (the reference
  // held here is handed over), else the converted copy.
  PyObject* give(size_t row, size_t col) {
    size_t i = row * width_ + col;
    PyObject* c = at(row, col);
    if (!(flags_[i] & kSame)) {
      Value v;
      return py_to_json(c, v) ? to_py(std::move(v)) : nullptr;
    }
    if (flags_[i] & kGiven) return Py_NewRef(c);
    flags_[i] |= kGiven;
    return c;
  }

 private:
  static inline PyObject* const kUnread = reinterpret_cast<PyObject*>(uintptr_t{1});
  enum : uint8_t { kSame = 1, kGiven = 2 };

  static bool is_own_conversion(PyObject* c) {
    if (c == Py_None || PyBool_Check(c)) return true;
    if (PyUnicode_CheckExact(c)) return PyUnicode_IS_ASCII(c);
    if (PyFloat_CheckExact(c)) return std::isfinite(PyFloat_AS_DOUBLE(c));
    if (!PyLong_CheckExact(c)) return false;
    int overflow = 0;
    PyLong_AsLongLongAndOverflow(c, &overflow);
    return overflow == 0;
  }

  // A strong reference, or null when absent or on error.
  static PyObject* lookup(PyObject* dict, PyObject* key) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* out = nullptr;
    PyDict_GetItemRef(dict, key, &out);
    return out;
#else
    return Py_XNewRef(PyDict_GetItemWithError(dict, key));
#endif
  }

  bool add_alias(const std::string& text) {
    PyObject* key = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (!key) return false;
    // Interned, a key often is the very object the rows use, and the lookup
    // ends at the identity check.
    PyUnicode_InternInPlace(&key);
    aliases_.push_back(key);
    return true;
  }

  size_t width_ = 0;
  std::vector<PyObject*> aliases_;
  std::pmr::vector<PyObject*> rows_;
  mutable std::pmr::vector<PyObject*> cells_;
  mutable std::pmr::vector<uint8_t> flags_;
};

class Builder {
 public:
  Builder(PyRows& rows, const std::vector<std::string_view>& keys) : rows_(rows) {
    keys_.reserve(keys.size());
    for (std::string_view k : keys)
      keys_.push_back(PyUnicode_DecodeUTF8(k.data(), static_cast<Py_ssize_t>(k.size()), "replace"));
  }
  ~Builder() {
    for (PyObject* k : keys_) Py_XDECREF(k);
    for (Template& t : templates_) Py_DECREF(t.dict);
  }

  PyObject* build(const RNode& node) {
    switch (node.kind) {
      case RNode::Kind::Null: Py_RETURN_NONE;
      case RNode::Kind::Bool: return PyBool_FromLong(node.flag);
      case RNode::Kind::Cell: return rows_.give(node.cell.row, node.cell.col);
      case RNode::Kind::Value: return json_to_py(*node.value);
      case RNode::Kind::Object:
      case RNode::Kind::Array: break;
    }
    if (Py_EnterRecursiveCall(" while building a Python object")) return nullptr;
    PyObject* out = node.kind == RNode::Kind::Object ? build_dict(node) : build_list(node.items, node.size);
    Py_LeaveRecursiveCall();
    return out;
  }

  PyObject* build_list(const RNode* items, size_t size) {
    constexpr size_t kAhead = 4;
    for (size_t i = 0; i < size && i < kAhead; ++i) prefetch(items[i]);
    return new_list(size, [&](size_t i) {
      if (i + kAhead < size) prefetch(items[i + kAhead]);
      return build(items[i]);
    });
  }

 private:
  // The values were last touched long ago: asking for those of a document
  // a little ahead hides most of the wait for memory.
  void prefetch(const RNode& node) const {
    if (node.kind != RNode::Kind::Object) return;
    for (uint32_t i = 0; i < node.size; ++i)
      if (node.members[i].node.kind == RNode::Kind::Cell) rows_.prefetch(node.members[i].node.cell);
  }

  PyObject* build_dict(const RNode& node) {
    PyObject* dict = empty_dict_like(node);
    if (!dict) return nullptr;
    for (uint32_t i = 0; i < node.size; ++i) {
      const RMember& m = node.members[i];
      PyObject* item = build(m.node);
      bool good = item && PyDict_SetItem(dict, keys_[m.key], item) == 0;
      Py_XDECREF(item);
      if (!good) {
        Py_DECREF(dict);
        return nullptr;
      }
    }
    return dict;
  }

  // A dict holding the node's keys, in its order, each set to None: copied
  // from a template made once per set of keys, which spares building every
  // document's table key by key (setting a present key only replaces its value).
  PyObject* empty_dict_like(const RNode& node) {
    for (Template& t : templates_) {
      if (t.keys.size() != node.size) continue;
      uint32_t i = 0;
      while (i < node.size && t.keys[i] == node.members[i].key) ++i;
      if (i == node.size) return PyDict_Copy(t.dict);
    }
    Template t{PyDict_New(), {}};
    if (!t.dict) return nullptr;
    for (uint32_t i = 0; i < node.size; ++i) {
      PyObject* k = keys_[node.members[i].key];
      if (!k || PyDict_SetItem(t.dict, k, Py_None) != 0) {
        Py_DECREF(t.dict);
        return nullptr;
      }
      t.keys.push_back(node.members[i].key);
    }
    if (templates_.size() == kTemplates) {
      Py_DECREF(templates_.front().dict);
      templates_.erase(templates_.begin());
    }
    templates_.push_back(std::move(t));
    return PyDict_Copy(templates_.back().dict);
  }

  struct Template {
    PyObject* dict;
    std::vector<uint32_t> keys;
  };
  static constexpr size_t kTemplates = 8;

  PyRows& rows_;
  std::vector<PyObject*> keys_;
  std::vector<Template> templates_;
};

PyObject* restore_list(PyObject* rows_arg, const RowShape& shape) {
  thread_local BlockCache blocks;
  PyRows rows(&blocks);
  if (!rows.collect(rows_arg, shape)) return nullptr;
  Result<Restored> restored = restore_from(shape, rows, &blocks);
  if (PyErr_Occurred()) return nullptr;  // a lookup or a conversion failed
  if (!restored) return raise_core_error(restored.error());
  // Pausing the cyclic collector while many containers are made spares it
  // repeated traversals of objects that cannot form cycles yet.
  int gc_was_enabled = PyGC_Disable();
  PyObject* out = Builder(rows, restored->keys).build_list(restored->documents.data(), restored->documents.size());
  if (gc_was_enabled) PyGC_Enable();
  return out;
}

constexpr Param kRestoreRows[] = {{"shape", ArgType::Any, true}, {"rows", ArgType::Any, true}};

PyObject* restore_rows(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!bind_args("restore_rows", kRestoreRows, args, nargs, kwnames, a)) return nullptr;
  Value shape_value;
  if (!value_arg(a[0], shape_value)) return nullptr;
  bool is_list = PyList_Check(a[1]) || PyTuple_Check(a[1]);
  if (!is_list) {
    // Anything but a list of rows is no rows, once it is known to be a value.
    Value ignored;
    if (!value_arg(a[1], ignored)) return nullptr;
  }
  Borrow b = Borrow::shared(self);
  if (!b.ok()) return nullptr;
  Result<RowShape> shape = RowShape::from_value(shape_value);
  if (!shape) {
    // Rows that cannot be converted are reported first, as for any argument.
    Value ignored;
    if (is_list && !value_arg(a[1], ignored)) return nullptr;
    return raise_core_error(shape.error());
  }
  if (!is_list) return PyList_New(0);
  return restore_list(a[1], *shape);
}

const PyMethodDef kMethods[] = {
    QV_METHOD("dialect_translate", dialect_translate,
              "dialect_translate($self, backend, cmd)\n--\n\n"
              "把命令文档翻译为后端（mysql / postgres / sqlite）的 SQL：返回 backend、stmt（每条含 text、"
              "params、rowShape、isWrite、returning）、warnings 与 unsupported；无法精确表达的条件一律拒绝。"),
    QV_METHOD("restore_rows", restore_rows,
              "restore_rows($self, shape, rows)\n--\n\n"
              "按语句的 rowShape 把扁平结果行还原为嵌套文档：按 _id 分组，按 __present 区分 null 与缺失，"
              "数字布尔还原为 bool，关联行聚合为子文档或数组。"),
};

}  // namespace

MethodArea dialect_methods() { return kMethods; }

}  // namespace quorvel::py
