"""dialect_translate: exact SQL text and parameters per backend, dispatch,
projections, and every refusal."""
import json
import random
import re
import sys

import pytest

import quorvel_py

BACKENDS = ["mysql", "postgres", "sqlite"]

ITEM = {
    "name": "Item",
    "collection": "items",
    "timestamps": False,
    "fields": {"_id": "string", "a": "int", "b": "int", "c": "string", "flag": "BOOL",
               "tags": "array", "meta": "object"},
    "relations": {"owner": {"model": "Item", "type": "one"}},
    "computes": {"wc": {"fn": True}},
}


@pytest.fixture
def items(reg):
    reg.register(ITEM)
    return reg


def translate(reg, backend, **cmd):
    return reg.dialect_translate(backend, {"collection": "items", **cmd})


def where(reg, backend, filter):
    out = translate(reg, backend, kind="countDocuments", filter=filter)
    stmt = out["stmt"][0]
    text = stmt["text"].split(" t", 1)[1]
    return text.removeprefix(" WHERE "), stmt["params"], out["warnings"]


def render(template, backend):
    """{a} is the column a of the main table; {p} the next placeholder."""
    q = "`" if backend == "mysql" else '"'
    counter = iter(range(1, 100))
    text = re.sub(r"\{p\}", lambda _: f"${next(counter)}" if backend == "postgres" else "?", template)
    return re.sub(r"\{([\w.]+)\}", lambda m: f"t.{q}{m.group(1)}{q}", text)


PRESENT_A = "COALESCE(t.__present, ',') LIKE '%,a,%'"
FALSE = {"mysql": "0", "postgres": "FALSE", "sqlite": "0"}

# (filter, SQL template or {backend: template}, params)
WHERE_CASES = [
    ({"a": 1, "b": {"$gt": 2}}, "({a} = {p} AND {b} > {p})", [1, 2]),
    ({"$or": [{"a": 1}, {"b": 2}], "c": "x"}, "(({a} = {p} OR {b} = {p}) AND {c} = {p})", [1, 2, "x"]),
    ({"$and": [{"a": 1}], "$nor": [{"b": 1}, {"b": 2}], "$or": [{"c": "x"}]},
     "(({a} = {p} AND {c} = {p}) AND NOT ({b} = {p} OR {b} = {p}))", [1, "x", 1, 2]),
    ({"$nor": [{"a": 1}]}, "NOT {a} = {p}", [1]),
    ({"a": None}, f"({{a}} IS NULL AND {PRESENT_A})", []),
    ({"a": {"$eq": None}}, f"({{a}} IS NULL AND {PRESENT_A})", []),
    ({"a": {"$ne": None}}, "{a} IS NOT NULL", []),
    ({"a": {"$ne": 3}}, "{a} <> {p}", [3]),
    ({"a": {"$gte": 1, "$lt": 5, "$lte": 4}}, "(({a} >= {p} AND {a} < {p}) AND {a} <= {p})", [1, 5, 4]),
    ({"a": {"$in": [1, 2]}, "b": {"$nin": [3]}}, "({a} IN ({p}, {p}) AND {b} NOT IN ({p}))", [1, 2, 3]),
    ({"a": {"$in": []}}, FALSE, []),
    ({"a": {"$nin": []}}, {"mysql": "1", "postgres": "TRUE", "sqlite": "1"}, []),
    ({"$nor": [{}]}, FALSE, []),
    ({"a": {"$exists": True}}, PRESENT_A, []),
    ({"a": {"$exists": 0}}, PRESENT_A, []),
    ({"a": {"$exists": False}}, f"NOT ({PRESENT_A})", []),
    ({"a": {"$not": {"$gt": 1, "$lt": 9}}}, "NOT ({a} > {p} AND {a} < {p})", [1, 9]),
    ({"a": {"$not": {"$in": []}}}, {"mysql": "NOT 0", "postgres": "NOT FALSE", "sqlite": "NOT 0"}, []),
    # A member without condition matches everything: negated, nothing.
    ({"a": {"$not": {}}}, FALSE, []),
    ({"$nor": [{"a": 1}, {"b": {}}], "c": "x"}, {"mysql": "(0 AND {c} = {p})", "postgres": "(FALSE AND {c} = {p})",
                                                 "sqlite": "(0 AND {c} = {p})"}, ["x"]),
    ({"a": {}}, "", []),
    ({}, "", []),
    (None, "", []),
    ({"$and": [], "$or": []}, "", []),
    ({"a": [1, {"x": 2}]}, "{a} = {p}", [[1, {"x": 2}]]),
    ({"c": {"$regex": "^x"}}, {"mysql": "{c} REGEXP {p}", "postgres": "{c} ~ {p}", "sqlite": "{c} REGEXP {p}"},
     ["^x"]),
    ({"c": {"$regex": "^x", "$options": "i"}},
     {"mysql": "REGEXP_LIKE({c}, {p}, 'i')", "postgres": "{c} ~* {p}", "sqlite": "{c} REGEXP {p}"}, ["^x"]),
    ({"a.b": 1}, "{a.b} = {p}", [1]),
]


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("filter,sql,params", WHERE_CASES, ids=[json.dumps(c[0]) for c in WHERE_CASES])
def test_condition_text(items, backend, filter, sql, params):
    template = sql[backend] if isinstance(sql, dict) else sql
    text, got_params, _ = where(items, backend, filter)
    assert (text, got_params) == (render(template, backend), params)


def test_postgres_casts_float_condition_parameters_only(items):
    text, params, _ = where(items, "postgres", {"a": 1.5, "b": {"$in": [1, 2.5]}, "c": {"$regex": "x"}})
    assert text == ('((t."a" = CAST($1 AS double precision) AND t."b" IN ($2, CAST($3 AS double precision)))'
                    ' AND t."c" ~ $4)')
    assert params == [1.5, 1, 2.5, "x"]
    assert where(items, "postgres", {"a": 2})[0] == 't."a" = $1'


@pytest.mark.parametrize("backend,options,flags", [
    ("mysql", "im", "m"), ("postgres", "xi", "x"), ("sqlite", "im", "im"), ("sqlite", "i", "i"),
])
def test_regex_flags_the_backend_cannot_express_warn(items, backend, options, flags):
    _, _, warnings = where(items, backend, {"c": {"$regex": "^x", "$options": options}})
    col = "t.`c`" if backend == "mysql" else 't."c"'
    assert warnings == [f"$regex 的 $options 含后端 {backend} 无法表达的 flags（{flags}），相应语义无法生效（字段 {col}）"]


def test_options_without_regex_warn_and_add_nothing(items):
    text, params, warnings = where(items, "mysql", {"c": {"$options": "i"}, "a": 1})
    assert (text, params) == ("t.`a` = ?", [1])
    assert warnings == ["$options 出现在没有 $regex 的条件中（字段 t.`c`），该修饰符无法生效"]


BAD_FILTERS = [
    ("string", "filter 必须是对象或 null，收到 string（拒绝静默按「无过滤」处理）"),
    (True, "filter 必须是对象或 null，收到 bool（拒绝静默按「无过滤」处理）"),
    (3.5, "filter 必须是对象或 null，收到 number（拒绝静默按「无过滤」处理）"),
    ([{"a": 1}], "filter 必须是对象或 null，收到 array（拒绝静默按「无过滤」处理）"),
    ({"$and": {}}, "$and 需要数组"),
    ({"$nor": []}, "$nor 需要非空数组"),
    ({"$or": [{"a": 1}, "x"]}, "filter 必须是对象或 null，收到 string（拒绝静默按「无过滤」处理）"),
    ({"$where": "1"}, "不支持的过滤条件操作符: $where（SQL 侧无法安全翻译，拒绝静默丢弃）"),
    ({"a": {"$size": 2}}, "不支持的过滤条件操作符: $size（字段 t.`a`；SQL 侧无法安全翻译，拒绝静默丢弃）"),
    ({"a": {"$in": 1}}, "$in/$nin 需要数组（字段 t.`a`），拒绝静默丢弃该条件"),
    ({"a": {"$not": {"$nin": "x"}}}, "$in/$nin 需要数组（字段 t.`a`），拒绝静默丢弃该条件"),
    ({"c": {"$regex": 5}}, "$regex 需要字符串模式（字段 t.`c`），拒绝静默丢弃该条件"),
    ({"tags": "x"}, 'SQL 后端无法翻译字段 "tags" 的过滤条件（复杂 JSON 或未声明字段）：拒绝静默丢弃后返回全表'),
    ({"meta.k": 1}, 'SQL 后端无法翻译字段 "meta.k" 的过滤条件（复杂 JSON 或未声明字段）：拒绝静默丢弃后返回全表'),
    # The first failure in member order wins: logical members come first.
    ({"a": {"$size": 1}, "$or": "x"}, "$or 需要数组"),
]


@pytest.mark.parametrize("filter,message", BAD_FILTERS, ids=[json.dumps(c[0]) for c in BAD_FILTERS])
def test_refused_filters(items, filter, message):
    with pytest.raises(RuntimeError) as exc:
        where(items, "mysql", filter)
    assert exc.value.args == (message,)


# Names that could change a statement's meaning if written raw.
HOSTILE = ["it's", 'a"b', "a`b", "50%_off", "x!y", "a;DROP TABLE items;--", "é ü"]


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("name", HOSTILE)
def test_hostile_names_stay_inside_their_quotes(items, backend, name):
    text, params, _ = where(items, backend, {name: None})
    q = "`" if backend == "mysql" else '"'
    col = "t." + q + name.replace(q, q + q) + q
    pattern = name.replace("'", "''")
    if any(c in name for c in "%_!"):
        pattern = re.sub(r"([%_!])", r"!\1", pattern)
        presence = f"COALESCE(t.__present, ',') LIKE '%,{pattern},%' ESCAPE '!'"
    else:
        presence = f"COALESCE(t.__present, ',') LIKE '%,{pattern},%'"
    assert (text, params) == (f"({col} IS NULL AND {presence})", [])


def test_backslash_names_in_string_literals(items):
    # MySQL reads a backslash in a literal according to sql_mode, which the
    # statement cannot know: refused there, escaped for LIKE elsewhere.
    with pytest.raises(RuntimeError, match="反斜杠"):
        where(items, "mysql", {"a\\b": {"$exists": True}})
    assert where(items, "sqlite", {"a\\b": {"$exists": True}})[0] == \
        "COALESCE(t.__present, ',') LIKE '%,a\\b,%' ESCAPE '!'"
    # PostgreSQL reads a plain literal by standard_conforming_strings; E''
    # reads the doubled backslash the same way under either setting.
    assert where(items, "postgres", {"a\\b'": {"$exists": True}})[0] == \
        "COALESCE(t.__present, ',') LIKE E'%,a\\\\b'',%' ESCAPE '!'"
    assert where(items, "mysql", {"a\\b": 1})[0] == "t.`a\\b` = ?"


def test_comma_names_cannot_be_told_apart_in_the_presence_list(items):
    # ",a,b," would also match a document holding the fields a and b.
    with pytest.raises(RuntimeError, match="逗号"):
        where(items, "postgres", {"a,b": None})
    assert where(items, "postgres", {"a,b": 1})[0] == 't."a,b" = $1'


@pytest.mark.parametrize("cmd", [
    {"kind": "find", "filter": {"a\x00b": 1}},
    {"kind": "find", "projection": {"a\x00": 1}},
    {"kind": "countDocuments", "namespace": "n\x00s"},
])
def test_nul_in_an_identifier_is_refused(items, cmd):
    with pytest.raises(RuntimeError, match="NUL"):
        translate(items, "postgres", **cmd)


LONG = "é" * 32  # 64 bytes in 32 characters


@pytest.mark.parametrize("cmd", [
    {"kind": "find", "filter": {LONG: 1}},
    {"kind": "find", "projection": {LONG: 1}},
    {"kind": "countDocuments", "namespace": LONG},
])
def test_names_postgres_would_truncate_are_refused_there(items, cmd):
    # Truncated to 63 bytes, two names could address one column or table.
    with pytest.raises(RuntimeError) as exc:
        translate(items, "postgres", **cmd)
    assert exc.value.args == (f'标识符 "{LONG}" 超过 postgres 的 63 字节上限，会被服务器截断成另一个名字（拒绝生成 SQL）',)
    for backend in ("sqlite", "mysql"):
        translate(items, backend, **cmd)
    translate(items, "postgres", **{**cmd, **json.loads(json.dumps(cmd, ensure_ascii=False).replace(LONG, LONG[1:]))})


def select_list(reg, backend, projection):
    stmt = translate(reg, backend, kind="find", filter={}, projection=projection)["stmt"][0]
    return stmt["text"].split("SELECT ", 1)[1].split(" FROM")[0], stmt["rowShape"]


@pytest.mark.parametrize("projection,items_sql", [
    (None, 't."_id", t."a", t."b", t."c", t."flag"'),
    ({"c": 1}, 't."_id", t."c"'),
    ({"c": True, "_id": 0}, 't."c"'),
    ({"_id": False}, 't."_id", t."a", t."b", t."c", t."flag"'),
    ({"c": 1, "a": 0, "b": -1}, 't."_id", t."b", t."c"'),
    # Relations and computed fields have no column in a single-table read.
    ({"c": 1, "owner": 1, "wc": 1}, 't."_id", t."c"'),
    ({"a.b": 1}, 't."_id", t."a.b"'),
])
def test_projection_selects_columns(items, projection, items_sql):
    text, shape = select_list(items, "sqlite", projection)
    assert text == items_sql + ", t.__present AS __present"
    assert shape["present"] == "__present"
    assert [c["alias"] for c in shape["columns"]] == re.findall(r'"([^"]*)"', items_sql)


def test_a_relation_named_like_its_stored_key_keeps_the_column(reg):
    reg.register({"name": "Post", "collection": "posts", "timestamps": False,
                  "fields": {"_id": "string", "author": "string"},
                  "relations": {"author": {"model": "Post", "type": "one", "localField": "author",
                                           "foreignField": "_id"}}})
    for projection in (None, {"author": 1}):
        stmt = reg.dialect_translate("sqlite", {"kind": "find", "collection": "posts", "projection": projection})
        assert stmt["stmt"][0]["text"].startswith('SELECT t."_id", t."author", t.__present'), projection


def test_row_shape_of_a_find(items):
    _, shape = select_list(items, "mysql", {"flag": 1, "a.b": 1})
    base = {"always": False, "isArray": False, "one": False, "ones": [], "subShape": None}
    assert shape["columns"] == [
        {**base, "alias": "_id", "path": ["_id"], "bool": False},
        {**base, "alias": "a.b", "path": ["a.b"], "bool": False},
        {**base, "alias": "flag", "path": ["flag"], "bool": True},
    ]


def test_projection_of_a_field_without_column_is_refused(items):
    with pytest.raises(RuntimeError) as exc:
        select_list(items, "mysql", {"tags": 1})
    assert exc.value.args == ('SQL 后端不支持投影 object/array 字段 "tags"（无对应列；D2：绝不静默返回残缺结果）',)


def test_find_and_find_one_give_the_same_statement(items):
    cmd = {"filter": {"a": {"$gt": 1}}, "projection": {"c": 1}}
    assert translate(items, "postgres", kind="find", **cmd) == translate(items, "postgres", kind="findOne", **cmd)


def test_whole_translation_result(items):
    out = translate(items, "sqlite", kind="countDocuments", filter={"a": 1})
    assert out == {
        "backend": "sqlite",
        "stmt": [{"isWrite": False, "params": [1], "returning": [], "rowShape": {"columns": [], "present": ""},
                  "text": 'SELECT COUNT(*) FROM "items" t WHERE t."a" = ?'}],
        "unsupported": [],
        "warnings": [],
    }


@pytest.mark.parametrize("name,backend", [("PG", "postgres"), ("PostgreSQL", "postgres"), ("pg", "postgres"),
                                          ("MySQL", "mysql"), ("SQLITE", "sqlite")])
def test_backend_names(items, name, backend):
    assert translate(items, name, kind="countDocuments")["backend"] == backend


def test_unknown_backend_fails_before_the_schema_lookup(reg):
    with pytest.raises(RuntimeError) as exc:
        reg.dialect_translate("MariaDB", {"kind": "find", "collection": "nowhere"})
    assert exc.value.args == ("不支持的后端: MariaDB",)


@pytest.mark.parametrize("cmd,message", [
    ({}, "translate: 未支持的命令 kind = "),
    ({"kind": 3}, "translate: 未支持的命令 kind = "),
    ({"kind": "drop"}, "translate: 未支持的命令 kind = drop"),
    ({"kind": "find", "collection": "nowhere"},
     "Schema 未定位（source = default, namespace = None, collection = nowhere）"),
])
def test_dispatch_failures(items, cmd, message):
    with pytest.raises(RuntimeError) as exc:
        items.dialect_translate("mysql", cmd)
    assert exc.value.args == (message,)


@pytest.mark.parametrize("kind", ["aggregate", "insertOne", "insertMany", "updateMany", "deleteMany",
                                  "findOneAndUpdate"])
def test_kinds_without_a_translator_yet_are_refused_by_name(items, kind):
    with pytest.raises(RuntimeError, match=f"kind = {kind} "):
        translate(items, "sqlite", kind=kind)


def test_namespaces_qualify_the_table(reg):
    reg.register({**ITEM, "namespace": "shop"})
    assert "FROM `shop`.`items` t" in translate(reg, "mysql", kind="find")["stmt"][0]["text"]
    # The command's namespace re-targets the tables; an empty one means none.
    assert 'FROM "tenant7"."items" t' in translate(reg, "pg", kind="find", namespace="tenant7")["stmt"][0]["text"]
    assert 'FROM "items" t' in translate(reg, "pg", kind="find", namespace="")["stmt"][0]["text"]


def random_value(rnd, depth):
    kinds = ["null", "bool", "int", "neg", "float", "str", "op", "field"]
    if depth < 6:
        kinds += ["array", "object", "object"]
    kind = rnd.choice(kinds)
    if kind == "array":
        return [random_value(rnd, depth + 1) for _ in range(rnd.randint(0, 3))]
    if kind == "object":
        keys = ["$and", "$or", "$nor", "$not", "$in", "$nin", "$eq", "$ne", "$gt", "$exists", "$regex",
                "$options", "$size", "a", "c", "tags", "zz", "it's"]
        return {rnd.choice(keys): random_value(rnd, depth + 1) for _ in range(rnd.randint(0, 3))}
    return {"null": None, "bool": rnd.random() < 0.5, "int": rnd.randint(0, 9), "neg": -rnd.randint(1, 9),
            "float": rnd.random(), "str": rnd.choice(["", "x", "^a"]), "op": "$in", "field": "a"}[kind]


KNOWN_MESSAGES = re.compile(
    r"^(filter 必须是对象或 null|\$and 需要数组|\$or 需要数组|\$nor 需要数组|\$nor 需要非空数组|"
    r"不支持的过滤条件操作符|SQL 后端无法翻译字段|\$in/\$nin 需要数组|\$regex 需要字符串模式)")


@pytest.mark.parametrize("backend", BACKENDS)
def test_filters_of_any_shape_translate_or_fail_with_a_known_message(items, backend):
    rnd = random.Random(7)
    translated = 0
    for _ in range(2000):
        filter = random_value(rnd, 0)
        try:
            text, params, _ = where(items, backend, filter)
        except RuntimeError as exc:
            assert KNOWN_MESSAGES.match(exc.args[0]), (filter, exc.args[0])
            continue
        translated += 1
        marks = text.count("?") if backend != "postgres" else len(re.findall(r"\$\d+", text))
        assert marks == len(params), (filter, text)
    assert translated > 200


@pytest.fixture
def high_recursion_limit():
    # Lets conversion reach the module's own depth cap instead of Python's.
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(20000)
    yield
    sys.setrecursionlimit(old)


def test_deep_filters_translate_or_raise_recursion_error(items, high_recursion_limit):
    nested = {"a": 1}
    for _ in range(1490):
        nested = {"$and": [nested]}
    assert where(items, "sqlite", nested)[0] == 't."a" = ?'
    chain = 1
    for _ in range(2990):
        chain = {"$not": chain}
    assert where(items, "sqlite", {"a": chain})[0] == "NOT " * 2990 + 't."a" = ?'
    for _ in range(10):
        nested = {"$and": [nested]}
    with pytest.raises(RecursionError):
        where(items, "sqlite", nested)
