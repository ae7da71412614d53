import pytest

import quorvel_py


def registered(*defns):
    reg = quorvel_py.Registry()
    for d in defns:
        reg.register(d)
    return reg


def test_registration_order_archives_and_repeats():
    reg = registered({"name": "Order"}, {"name": "User", "collection": "people"}, {"name": "Order"})
    assert reg.list() == ["Order", "OrderDeleted", "User", "UserDeleted", "Order", "OrderDeleted"]
    assert reg.has("OrderDeleted") and not reg.has("Nope")
    # list hands out a copy
    reg.list().clear()
    assert len(reg.list()) == 6


@pytest.mark.parametrize(
    "defn",
    [
        {"name": "OrderDeleted"},
        {"name": "Order", "_isArchive": 1},
        {"name": "Order", "_isArchive": "yes"},
    ],
)
def test_no_archive_is_derived_for_archives(defn):
    assert registered(defn).list() == [defn["name"]]


def test_archive_schema_shape():
    reg = registered({
        "name": "Order", "collection": "orders", "idPrefix": "o_", "datasource": "main", "namespace": "ns",
        "read": ["creator"], "write": [], "timestamps": False,
        "fields": {"total": "int", "deletedAt": "string", "secret": {"type": "string", "read": ["admin"]}},
        "relations": {"items": {"model": "Item"}}, "computes": {"n": {"fn": True}},
        "indexes": [{"fields": ["total"]}],
    })
    assert reg.schema_datasource("OrderDeleted") == "main"
    ctx = {"userId": "u1", "roles": ["viewer"]}
    # Fields are copied whole (their own rules too) plus deletedAt; the schema's
    # rule lists, relations and computes are not, and timestamps come back.
    assert reg.readable_fields("OrderDeleted", ctx) == ["createdAt", "deletedAt", "total", "updatedAt"]
    assert reg.readable_fields("Order", ctx) == ["deletedAt", "total"]
    assert reg.readable_relations("OrderDeleted", ctx) == []
    assert reg.can_write("OrderDeleted", ctx) and not reg.can_write("Order", ctx)
    assert not reg.should_inject_owner("OrderDeleted", ctx)
    # It occupies (main, ns, orders_deleted).
    with pytest.raises(RuntimeError, match="已被 schema `OrderDeleted`"):
        reg.register({"name": "X", "collection": "orders_deleted", "datasource": "main", "namespace": "ns"})


LOCATION_CONFLICT = "定位三元组冲突: ({}, {}, x) 已被 schema `A`（collection = x）占用"


@pytest.mark.parametrize(
    "first, second, message",
    [
        ({"name": "A", "collection": "x"}, {"name": "B", "collection": "x"},
         LOCATION_CONFLICT.format("default", "None")),
        # an empty namespace is no namespace; an undeclared source is "default"
        ({"name": "A", "collection": "x"}, {"name": "B", "collection": "x", "namespace": "", "datasource": "default"},
         LOCATION_CONFLICT.format("default", "None")),
        ({"name": "A", "collection": "x", "namespace": "n", "datasource": "s"},
         {"name": "B", "collection": "x", "namespace": "n", "datasource": "s"},
         LOCATION_CONFLICT.format("s", 'Some("n")')),
        ({"name": "A", "collection": "x"}, {"name": "B", "collection": "x", "namespace": "t"}, None),
        ({"name": "A", "collection": "x"}, {"name": "B", "collection": "x", "datasource": "s"}, None),
        # the same name moves freely
        ({"name": "A", "collection": "x"}, {"name": "A", "collection": "y"}, None),
    ],
)
def test_location_check(first, second, message):
    reg = registered(first)
    before = reg.list()
    if message is None:
        reg.register(second)
        assert reg.list()[-2:] == [second["name"], second["name"] + "Deleted"]
    else:
        with pytest.raises(RuntimeError) as e:
            reg.register(second)
        assert e.value.args == (message,)
        assert reg.list() == before and not reg.has("B")


def test_failed_archive_keeps_the_schema():
    reg = registered({"name": "Taken", "collection": "a_deleted"})
    with pytest.raises(RuntimeError, match="已被 schema `Taken`"):
        reg.register({"name": "A", "collection": "a"})
    assert reg.list() == ["Taken", "TakenDeleted", "A"]
    assert not reg.has("ADeleted")


def test_many_schemas_register_and_resolve():
    reg = quorvel_py.Registry()
    for i in range(5000):
        reg.register({"name": f"M{i}", "collection": f"c{i}", "datasource": "main"})
    assert len(reg.list()) == 10000
    with pytest.raises(RuntimeError, match="已被 schema `M4999`"):
        reg.register({"name": "Late", "collection": "c4999", "datasource": "main"})
    assert reg.resolve_datasource("M4321", {"sources": {"main": "mysql"}}) == "mysql"


BAD_DEFINITIONS = [
    ([1], "schema 定义必须是对象"),
    (None, "schema 定义必须是对象"),
    ({"collection": "x"}, "schema 缺少 name"),
    ({"name": 5}, "schema 缺少 name"),
    ({"name": "M", "timestamps": 1}, "timestamps 仅支持 true/false/'ms'/'s'，实际 1"),
    ({"name": "M", "timestamps": "x"}, "timestamps 仅支持 true/false/'ms'/'s'，实际 \"x\""),
    ({"name": "M", "timestamps": [1, {"a": None}]}, "timestamps 仅支持 true/false/'ms'/'s'，实际 [1,{\"a\":null}]"),
    ({"name": "M", "fields": {"ok": "int", "age": 5}}, "字段 age 定义类型非法（须为类型字符串或对象）"),
    ({"name": "M", "fields": {"b": None, "a": [1]}}, "字段 a 定义类型非法（须为类型字符串或对象）"),
]

REL = {"lessons": {"model": "Lesson"}}
AGG_MESSAGES = [
    ({"agg": {"$count": "lessons"}, "fn": True}, '计算列 "c" 不能同时声明 agg 与 fn/asyncFn（二选一）'),
    ({"agg": {"$count": "lessons"}, "asyncFn": 1}, '计算列 "c" 不能同时声明 agg 与 fn/asyncFn（二选一）'),
    ({"agg": "lessons", "fn": True}, '计算列 "c" 不能同时声明 agg 与 fn/asyncFn（二选一）'),
    ({"agg": "lessons"}, '计算列 "c" 的 agg 必须是对象，如 {"$count": "lessons"}'),
    ({"agg": {}}, '计算列 "c" 的 agg 必须且只能声明一个算子键'),
    ({"agg": {"$sum": "lessons.a", "$max": "lessons.a"}}, '计算列 "c" 的 agg 必须且只能声明一个算子键'),
    ({"agg": {"$median": 5}}, '计算列 "c" 的 agg 算子 $median 不在白名单（$count/$sum/$avg/$min/$max）'),
    ({"agg": {"$count": "*"}}, '计算列 "c" 的 agg 取值必须是关系路径字符串（如 "lessons" / "lessons.duration"）'),
    ({"agg": {"$sum": ""}}, '计算列 "c" 的 agg 取值必须是关系路径字符串（如 "lessons" / "lessons.duration"）'),
    ({"agg": {"$sum": 1}}, '计算列 "c" 的 agg 取值必须是关系路径字符串（如 "lessons" / "lessons.duration"）'),
    ({"agg": {"$sum": "x.y"}}, '计算列 "c" 的 agg 引用的关系 "x" 未在 schema 中定义'),
    ({"agg": {"$sum": "x.y.z"}}, '计算列 "c" 的 agg 引用的关系 "x" 未在 schema 中定义'),
    ({"agg": {"$sum": "lessons.a.b"}},
     '计算列 "c" 的 agg 关系路径 "lessons.a.b" 非法：仅支持单级「关系.字段」（二级路径首批不支持）'),
    ({"agg": {"$count": "lessons.id"}}, '计算列 "c" 的 $count 仅支持关系整行计数（如 "lessons"），按字段计数待 P5'),
    ({"agg": {"$sum": "lessons"}}, '计算列 "c" 的 agg 算子 $sum 必须引用关系字段（如 "lessons.duration"）'),
    ({"agg": {"$avg": "lessons."}}, '计算列 "c" 的 agg 算子 $avg 必须引用关系字段（如 "lessons.duration"）'),
]


@pytest.mark.parametrize(
    "defn, message",
    BAD_DEFINITIONS + [({"name": "M", "relations": REL, "computes": {"c": c}}, m) for c, m in AGG_MESSAGES],
)
def test_bad_definitions_fail_and_store_nothing(defn, message):
    reg = registered({"name": "Keep"})
    with pytest.raises(RuntimeError) as e:
        reg.register(defn)
    assert e.value.args == (message,)
    assert reg.list() == ["Keep", "KeepDeleted"]


@pytest.mark.parametrize(
    "compute",
    [{"agg": False}, {"agg": 0, "fn": True}, {"agg": {"$count": "lessons"}}, {"agg": {"$min": "lessons.at"}}, 7],
)
def test_valid_computes_register(compute):
    registered({"name": "M", "relations": REL, "computes": {"c": compute}})


def test_first_bad_compute_in_key_order_wins():
    with pytest.raises(RuntimeError, match='计算列 "a"'):
        registered({"name": "M", "computes": {"b": {"agg": 1}, "a": {"agg": {}}}})


def test_register_binding_errors():
    reg = quorvel_py.Registry()
    with pytest.raises(TypeError):
        reg.register()
    with pytest.raises(TypeError):
        reg.has(1)
    with pytest.raises(RecursionError):
        deep = {}
        for _ in range(5000):
            deep = {"name": "M", "fields": deep}
        reg.register(deep)
    assert reg.list() == []


RESOLVE_CASES = [
    ({}, None, "mongo"),
    ({}, {"sources": {"default": "sqlite"}}, "sqlite"),
    ({}, {"sources": {"other": "mysql"}}, "mongo"),
    ({}, {"sources": []}, "mongo"),
    ({}, [1], "mongo"),
    ({"datasource": "main"}, {"sources": {"main": "PostgreSQL"}}, "postgres"),
    ({"datasource": "main"}, {"sources": {"main": "pg", "default": "mysql"}}, "postgres"),
    ({"datasource": "main"}, {"sources": {"main": "MongoDB"}}, "mongo"),
    ({"datasource": "main"}, {"sources": {"main": "MySQL"}}, "mysql"),
    ({"datasource": "main"}, {"sources": {}}, RuntimeError("schema 绑定的数据源未在配置中声明: main")),
    ({"datasource": "main"}, None, RuntimeError("schema 绑定的数据源未在配置中声明: main")),
    ({}, {"sources": {"x": 1}}, RuntimeError("数据源 x 的 kind 必须是字符串")),
    ({}, {"sources": {"x": "Oracle"}}, RuntimeError("不支持的后端: oracle")),
    # every entry is read, also ones the schema does not use
    ({"datasource": "a"}, {"sources": {"a": "mysql", "b": "Maria"}}, RuntimeError("不支持的后端: maria")),
]


@pytest.mark.parametrize("extra, config, expected", RESOLVE_CASES)
def test_resolve_datasource(extra, config, expected):
    reg = registered({"name": "M", **extra})
    if isinstance(expected, Exception):
        with pytest.raises(RuntimeError) as e:
            reg.resolve_datasource("M", config)
        assert e.value.args == expected.args
    else:
        assert reg.resolve_datasource("M", config=config) == expected


def test_schema_datasource_and_unknown_names():
    reg = registered({"name": "A", "datasource": "main"}, {"name": "B", "datasource": ""})
    assert reg.schema_datasource("A") == "main"
    assert reg.schema_datasource("B") is None
    for call in (lambda: reg.schema_datasource("Z"), lambda: reg.resolve_datasource("Z")):
        with pytest.raises(RuntimeError) as e:
            call()
        assert e.value.args == ("Schema 未注册: Z",)


@pytest.mark.parametrize(
    "name, signature",
    [
        ("register", "(defn)"),
        ("has", "(name)"),
        ("list", "()"),
        ("schema_datasource", "(schema_name)"),
        ("resolve_datasource", "(schema_name, config=None)"),
    ],
)
def test_method_signatures(name, signature):
    import inspect

    assert str(inspect.signature(getattr(quorvel_py.Registry(), name))) == signature
