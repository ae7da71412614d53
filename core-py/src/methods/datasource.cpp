// Data source methods: which named source and which database kind a schema
// lives in.
#include "args.h"
#include "convert.h"
#include "methods/methods.h"
#include "registry_object.h"

namespace quorvel::py {

namespace {

constexpr Param kSchemaDatasource[] = {{"schema_name", ArgType::Str, true}};

PyObject* schema_datasource(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!bind_args("schema_datasource", kSchemaDatasource, args, nargs, kwnames, a)) return nullptr;
  std::string_view name;
  if (!str_arg(a[0], "", name)) return nullptr;
  Borrow b = Borrow::shared(self);
  if (!b.ok()) return nullptr;
  Result<std::optional<std::string>> source = b.core().schema_datasource(name);
  if (!source) return raise_core_error(source.error());
  if (!*source) Py_RETURN_NONE;
  const std::string& text = **source;
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

constexpr Param kResolveDatasource[] = {{"schema_name", ArgType::Str, true}, {"config", ArgType::Any}};

PyObject* resolve_datasource(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!bind_args("resolve_datasource", kResolveDatasource, args, nargs, kwnames, a)) return nullptr;
  std::string_view name;
  Value config;
  if (!str_arg(a[0], "", name) || !value_arg(a[1], config)) return nullptr;
  Borrow b = Borrow::shared(self);
  if (!b.ok()) return nullptr;
  Result<DataSource> source = b.core().resolve_datasource(name, config);
  if (!source) return raise_core_error(source.error());
  std::string_view text = source->name();
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

const PyMethodDef kMethods[] = {
    QV_METHOD("schema_datasource", schema_datasource,
              "schema_datasource($self, schema_name)\n--\n\n"
              "返回 schema 声明的数据源名称；未声明时返回 None（即使用名为 default 的数据源）。"),
    QV_METHOD("resolve_datasource", resolve_datasource,
              "resolve_datasource($self, schema_name, config=None)\n--\n\n"
              "按数据源声明 {\"sources\": {名称: 类型}} 解析 schema 所在数据库类型："
              "\"mongo\"、\"mysql\"、\"postgres\" 或 \"sqlite\"；无声明时默认 mongo。"),
};

}  // namespace

MethodArea datasource_methods() { return kMethods; }

}  // namespace quorvel::py
