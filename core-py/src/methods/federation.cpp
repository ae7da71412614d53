// Federated query methods.
#include <charconv>
#include <utility>

#include "args.h"
#include "bson.h"
#include "convert.h"
#include "depth_guard.h"
#include "federation/merge.h"
#include "federation/merge_join.h"
#include "methods/methods.h"
#include "plain.h"
#include "registry_object.h"

namespace quorvel::py {

namespace {

// The host's plain results as the join's documents: nothing is converted
// but the join keys, and no Python code can run while the join reads them.
class PyDocs {
 public:
  using Doc = PyObject*;
  using Name = PyObject*;

  explicit PyDocs(PyObject* results) : results_(is_seq(results) ? results : nullptr) {}
  ~PyDocs() {
    for (PyObject* n : names_) Py_XDECREF(n);
  }
  PyDocs(const PyDocs&) = delete;
  PyDocs& operator=(const PyDocs&) = delete;

  size_t unit_count() const { return results_ ? static_cast<size_t>(Py_SIZE(results_)) : 0; }
  bool unit_is_array(size_t u) const { return is_seq(unit(u)); }
  size_t unit_size(size_t u) const { return static_cast<size_t>(Py_SIZE(unit(u))); }
  Doc row(size_t u, size_t i) const { return item(unit(u), i); }
  bool is_object(Doc d) const { return PyDict_CheckExact(d); }
  bool is_array(Doc d) const { return is_seq(d); }
  size_t array_size(Doc d) const { return static_cast<size_t>(Py_SIZE(d)); }
  Doc item(Doc seq, size_t i) const {
    auto at = static_cast<Py_ssize_t>(i);
    return PyList_CheckExact(seq) ? PyList_GET_ITEM(seq, at) : PyTuple_GET_ITEM(seq, at);
  }
  // A failed name stays null and finds nothing; its error is raised after the join.
  Name name(const std::string& n) {
    PyObject* key = PyUnicode_DecodeUTF8(n.data(), static_cast<Py_ssize_t>(n.size()), "replace");
    names_.push_back(key);
    return key;
  }
  // Plain dicts have only str keys, so the lookup runs no Python code.
  bool member(Doc d, Name n, Doc& out) const {
    out = n ? PyDict_GetItemWithError(d, n) : nullptr;
    return out != nullptr;
  }
  // Strings and integers, the usual keys, are keyed straight from the object
  // exactly as id_key keys their converted values.
  void key(Doc d, std::string& out) const {
    if (PyUnicode_CheckExact(d)) {
      Py_ssize_t size = 0;
      const char* data = PyUnicode_AsUTF8AndSize(d, &size);
      out.assign(data, static_cast<size_t>(size));
      return;
    }
    if (PyLong_CheckExact(d)) {
      int overflow = 0;
      long long v = PyLong_AsLongLongAndOverflow(d, &overflow);
      if (overflow == 0) {
        char buf[24];
        out.assign(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
        return;
      }
    }
    out = id_key(to_value(d));
  }
  // Plain values convert without error.
  Value to_value(Doc d) const {
    Value v;
    py_to_json(d, v);
    return v;
  }

 private:
  static bool is_seq(PyObject* o) { return PyList_CheckExact(o) || PyTuple_CheckExact(o); }
  PyObject* unit(size_t u) const { return item(results_, u); }

  PyObject* results_;
  std::vector<PyObject*> names_;
};

using PyNode = merge_detail::Node<PyObject*>;

// The merged documents as new Python objects, each container guarded as
// json_to_py guards it.
class MergedBuilder {
 public:
  ~MergedBuilder() {
    for (auto& k : keys_) Py_XDECREF(k.second);
    for (auto& rows : ahead_)
      for (PyObject* r : rows)
        if (r != kWanted) Py_XDECREF(r);
  }

  // Attached rows without containers inside are copied ahead in one tight
  // loop, in the order the build places them (so their memory is freed in
  // the order it was taken), asking for each row's memory a few rows early:
  // rows are attached in the parents' order, which is random in the host's
  // memory, and copying them one by one would wait on memory for nearly
  // every row. Placing a copy at its depth still raises what building it
  // there would. False with a Python error set.
  bool copy_rows_ahead(const std::vector<PyNode>& documents, const PyDocs& docs) {
    ahead_.resize(docs.unit_count());
    std::vector<std::pair<PyObject**, PyObject*>> order;
    for (const PyNode& d : documents) mark(d, docs, order);
    constexpr size_t kDict = 12, kKeys = 6, kValues = 3;  // rows ahead, per stage
    for (size_t i = 0; i < order.size(); ++i) {
      if (i + kDict < order.size()) __builtin_prefetch(order[i + kDict].second);
      if (i + kKeys < order.size()) prefetch_keys(order[i + kKeys].second);
      if (i + kValues < order.size()) prefetch_values(order[i + kValues].second);
      PyObject*& slot = *order[i].first;
      slot = copier_.flat_dict_copy(order[i].second);
      if (!slot && PyErr_Occurred()) return false;
    }
    return true;
  }

  PyObject* build(const PyNode& n) {
    switch (n.kind) {
      case PyNode::Kind::Null: Py_RETURN_NONE;
      case PyNode::Kind::Copy: {
        PyObject** ahead = n.unit == PyNode::kNoUnit ? nullptr : &ahead_[n.unit][n.row];
        if (!ahead || !*ahead) return copier_.copy(n.doc);
        DepthGuard guard(copier_.depth, kToPyWhere);
        if (!guard.ok()) return nullptr;
        // Further uses of the row make copies of their own.
        return std::exchange(*ahead, nullptr);
      }
      case PyNode::Kind::Array:
      case PyNode::Kind::Object: break;
    }
    DepthGuard guard(copier_.depth, kToPyWhere);
    if (!guard.ok()) return nullptr;
    return n.kind == PyNode::Kind::Array ? build_list(n.items) : build_dict(n);
  }

  PyObject* build_list(const std::vector<PyNode>& items) {
    return new_list(items.size(), [&](size_t i) { return build(items[i]); });
  }

 private:
  PyObject* build_dict(const PyNode& n) {
    std::vector<PlainCopier::Extra> extra;
    extra.reserve(n.members.size());
    PyObject* out = nullptr;
    bool good = true;
    for (const auto& m : n.members) {
      PyObject* key = key_of(m.name);
      PyObject* value = key ? build(m.node) : nullptr;
      if (!value) {
        good = false;
        break;
      }
      extra.push_back({m.name, key, value});
    }
    if (good) out = copier_.dict_with(n.doc, extra);
    for (const auto& x : extra) Py_DECREF(x.value);
    return out;
  }

  // Member names view the plan's edges, so a name's address identifies it.
  PyObject* key_of(std::string_view name) {
    for (auto& k : keys_)
      if (k.first.data() == name.data() && k.first.size() == name.size()) return k.second;
    PyObject* key = PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "replace");
    if (key) keys_.emplace_back(name, key);
    return key;
  }

  // Lists the first use of every attached row, in the order build visits them.
  void mark(const PyNode& n, const PyDocs& docs, std::vector<std::pair<PyObject**, PyObject*>>& order) {
    if (n.kind == PyNode::Kind::Copy && n.unit != PyNode::kNoUnit) {
      std::vector<PyObject*>& rows = ahead_[n.unit];
      if (rows.empty()) rows.assign(docs.unit_size(n.unit), nullptr);
      if (!rows[n.row]) {
        rows[n.row] = kWanted;
        order.emplace_back(&rows[n.row], n.doc);
      }
    }
    for (const auto& m : n.members) mark(m.node, docs, order);
    for (const PyNode& i : n.items) mark(i, docs, order);
  }

  static void prefetch_keys(PyObject* dict) {
    if (!PyDict_CheckExact(dict)) return;  // rows may be any value
    auto* keys = reinterpret_cast<const char*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
    __builtin_prefetch(keys);
    __builtin_prefetch(keys + 64);
  }
  static void prefetch_values(PyObject* dict) {
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(dict, &pos, &key, &value)) __builtin_prefetch(value);
  }

  static inline PyObject* const kWanted = reinterpret_cast<PyObject*>(uintptr_t{1});

  PlainCopier copier_;
  std::vector<std::pair<std::string_view, PyObject*>> keys_;
  std::vector<std::vector<PyObject*>> ahead_;  // per unit and row: a copy made ahead
};

PyObject* merge_plain(const Value& plan, PyObject* results) {
  PyDocs docs(results);
  auto merged = merge_from(plan, docs);
  if (PyErr_Occurred()) return nullptr;
  if (!merged) return raise_core_error(merged.error());
  // Pausing the cyclic collector while many containers are made spares it
  // repeated traversals of objects that cannot form cycles yet.
  int gc_was_enabled = PyGC_Disable();
  MergedBuilder builder;
  PyObject* out = builder.copy_rows_ahead(merged->documents, docs) ? builder.build_list(merged->documents) : nullptr;
  if (gc_was_enabled) PyGC_Enable();
  return out;
}

constexpr Param kMergeFederated[] = {{"plan", ArgType::Any, true}, {"results", ArgType::Any, true}};

PyObject* merge_federated(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!bind_args("merge_federated", kMergeFederated, args, nargs, kwnames, a)) return nullptr;
  Value plan, results;
  if (!value_arg(a[0], plan)) return nullptr;
#ifdef Py_GIL_DISABLED
  // The join holds borrowed references to the host's objects throughout,
  // which only the GIL keeps safe from other threads.
  bool plain = false;
#else
  bool plain = a[1] && is_plain(a[1]);
#endif
  // Anything else takes the general conversion, with its errors.
  if (!plain && !value_arg(a[1], results)) return nullptr;
  Borrow b = Borrow::shared(self);
  if (!b.ok()) return nullptr;
  if (plain) return merge_plain(plan, a[1]);
  Result<Value> merged = quorvel::merge_federated(plan, std::move(results));
  if (!merged) return raise_core_error(merged.error());
  return to_py(std::move(merged).value());
}

const PyMethodDef kMethods[] = {
    QV_METHOD("merge_federated", merge_federated,
              "merge_federated($self, plan, results)\n--\n\n"
              "按联邦计划的 join 边把各取数单元的结果（按 sources 顺序，每单元一个数组）在内存中"
              "拼接为嵌套文档；单元结果上限 100000 行。"),
};

}  // namespace

MethodArea federation_methods() { return kMethods; }

}  // namespace quorvel::py
