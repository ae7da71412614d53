import pytest

from pipeline_schemas import make_registry


@pytest.fixture(scope="module")
def reg():
    return make_registry()


def grouped(reg, select, group, ctx=None, **directives):
    names = ["group"] + sorted(directives)
    args = ", ".join(f"${n}: @{n}" for n in names)
    return reg.build_pipeline(f"Order({args}) {{ {select} }}", dict(directives, group=group), ctx)["pipeline"]


def one_row(default):
    return [
        {"$facet": {"__rows": []}},
        {"$replaceRoot": {"newRoot": {"$ifNull": [{"$arrayElemAt": ["$__rows", 0]}, default]}}},
    ]


@pytest.mark.parametrize("agg, default", [
    ({"n": {"$count": "*"}}, {"_id": None, "n": 0}),
    ({"s": {"$sum": "amount"}}, {"_id": None, "s": None}),
])
def test_single_group_always_yields_a_row(reg, agg, default):
    alias = next(iter(agg))
    got = grouped(reg, alias, {"by": [], "agg": agg})
    assert got == [
        {"$group": {"_id": None, alias: {"$sum": 1} if alias == "n" else {"$sum": "$amount"}}},
        *one_row(default),
        {"$project": {"_id": 0, alias: 1}},
    ]


def test_one_key(reg):
    got = grouped(reg, "status n", {"by": ["status"], "agg": {"n": {"$count": "*"}, "unused": {"$max": "amount"}}})
    assert got == [
        {"$group": {"_id": "$status", "n": {"$sum": 1}}},
        {"$project": {"_id": 0, "n": 1, "status": "$_id"}},
    ]


def test_several_keys_nest_the_group_id(reg):
    got = grouped(reg, "owner.city status c", {"by": ["status", "owner.city"], "agg": {"c": {"$count": "amount"}}})
    assert got == [
        {"$group": {
            "_id": {"owner": {"city": "$owner.city"}, "status": "$status"},
            "c": {"$sum": {"$cond": [{"$eq": [{"$ifNull": ["$amount", None]}, None]}, 0, 1]}},
        }},
        {"$project": {"_id": 0, "c": 1, "owner.city": "$_id.owner.city", "status": "$_id.status"}},
    ]


@pytest.mark.parametrize("by", [["owner.city", "owner.city.zip"], ["owner.city.zip", "owner.city"]])
def test_a_key_inside_another_is_covered_by_it(reg, by):
    # Grouping by the whole value already groups by its parts; the nested key
    # is still read from inside the group id.
    got = grouped(reg, "owner.city.zip", {"by": by})
    assert got == [
        {"$group": {"_id": {"owner": {"city": "$owner.city"}}}},
        {"$project": {"_id": 0, "owner.city.zip": "$_id.owner.city.zip"}},
    ]


def test_a_key_nesting_too_deep_is_refused(reg):
    # Every "." nests the group id one level deeper.
    key = "owner." + "x." * 500000 + "y"
    with pytest.raises(RuntimeError) as e:
        grouped(reg, "status", {"by": ["status", key]})
    assert e.value.args == (f'$group 的 by 键 "{key}" 嵌套超过 3000 层',)
    # Alone, a key is a plain reference and nests nothing.
    assert grouped(reg, key, {"by": [key]})[0] == {"$group": {"_id": "$" + key}}


def test_condition_having_and_ordering(reg):
    got = grouped(
        reg, "status", {"by": ["status"], "agg": {"n": {"$count": "*"}, "a": {"$avg": "amount"}, "m": {"$min": "amount"}}},
        condition={"amount": {"$gt": 0}},
        having={"status": "open", "$or": [{"n": {"$gt": 1}}, {"$and": [{"a": 2}]}]},
        sort={"status": 1, "m": -1}, skip=5, limit=10,
    )
    assert got == [
        {"$match": {"amount": {"$gt": 0}}},
        # Aliases named by the having or the sort are computed though not selected.
        {"$group": {"_id": "$status", "a": {"$avg": "$amount"}, "m": {"$min": "$amount"}, "n": {"$sum": 1}}},
        {"$match": {"$or": [{"n": {"$gt": 1}}, {"$and": [{"a": 2}]}], "_id": "open"}},
        {"$sort": {"_id": 1, "m": -1}},
        {"$skip": 5},
        {"$limit": 10},
        {"$project": {"_id": 0, "status": "$_id"}},
    ]


def test_having_and_sort_with_several_keys(reg):
    got = grouped(reg, "status customerId", {"by": ["status", "customerId"]},
                  having={"$nor": [{"status": "x"}]}, sort={"customerId": 1}, limit=None)
    assert got[1:3] == [{"$match": {"$nor": [{"_id.status": "x"}]}}, {"$sort": {"_id.customerId": 1}}]


N = {"n": {"$count": "*"}}


@pytest.mark.parametrize("select, group, directives, message", [
    ("n", 5, {}, "$group 参数必须是对象 { by, agg }"),
    ("n", {"by": "status"}, {}, "$group.by 必须是字段名数组（省略 / [] = 全表单组）"),
    ("n", {"by": [1]}, {}, "$group.by 的元素必须是字段名字符串"),
    ("n", {"by": ["status", "status"]}, {}, '$group.by 存在重复键 "status"'),
    ("n", {"by": ["customer.name"]}, {}, '$group 的 by 键 "customer.name" 是关系名（分组键仅支持标量域，不支持关系字段）'),
    ("n", {"by": ["nope.x"]}, {}, '$group 的 by 键 "nope.x" 引用了 schema 外字段 "nope"'),
    ("n", {"by": ["items"]}, {}, '$group 的 by 键 "items" 是数组字段（分组键仅支持标量域）'),
    ("n", {"by": ["owner"]}, {}, '$group 的 by 键 "owner" 是对象字段（须用点号路径指明子字段，如 "owner.<子字段>")'),
    ("n", {"agg": []}, {}, "$group.agg 必须是对象 { 别名: { 算子: 字段 } }"),
    ("n", {"agg": {"": {"$count": "*"}}}, {}, "$group.agg 的别名不能为空"),
    ("n", {"by": ["status"], "agg": {"status": {"$count": "*"}}}, {}, '$group.agg 别名 "status" 与 by 键冲突'),
    ("n", {"agg": {"n": "*"}}, {}, '$group.agg "n" 的定义必须是对象'),
    ("n", {"agg": {"n": {}}}, {}, '$group.agg "n" 必须恰有一个算子键'),
    ("n", {"agg": {"n": {"$median": "amount"}}}, {}, '$group.agg "n" 的算子 $median 不在白名单（$count/$sum/$avg/$min/$max）'),
    ("n", {"agg": {"n": {"$sum": 1}}}, {}, '$group.agg "n"（$sum）必须带标量字段名（$count 可用 "*"）'),
    ("n", {"agg": {"n": {"$sum": "*"}}}, {}, '$group 的 agg "n"（$sum）引用了 schema 外字段 "*"'),
    ("n", {"agg": {"n": {"$max": "customer"}}}, {}, '$group 的 agg "n"（$max）引用了关系 "customer"（仅支持标量字段）'),
    ("n", {"agg": {"n": {"$count": "owner.city"}}}, {}, '$group 的 agg "n"（$count）字段 "owner.city" 不可为点号路径（仅支持标量字段）'),
    ("n", {"agg": {"n": {"$min": "items"}}}, {}, '$group 的 agg "n"（$min）字段 "items" 必须是标量字段'),
    ("n", {}, {}, "$group 至少需要 by 键或 agg 别名之一"),
    ("n", {"by": None, "agg": None}, {}, "$group 至少需要 by 键或 agg 别名之一"),
    ("n customer { status }", {"agg": N}, {}, "$group 查询不支持关系字段（选择集仅可为 by 键 / agg 别名，无关系下钻）"),
    ("", {"agg": N}, {}, "$group 查询必须显式选择输出字段（by 键 / agg 别名）"),
    ("n amount", {"agg": N}, {}, '选择集字段 "amount" 未在 $group 的 by 键 / agg 别名中声明'),
    ("n", {"agg": N}, {"having": []}, "$having 必须是条件对象"),
    ("n", {"agg": N}, {"having": {"$or": []}}, "$or 逻辑组为空：拒绝生成无条件的全表查询（请在组内提供至少一个条件）"),
    ("n", {"agg": N}, {"having": {"$and": {"n": 1}}}, "$having 的 $and 需要数组"),
    ("n", {"agg": N}, {"having": {"$or": [5]}}, "$having 必须是条件对象"),
    ("n", {"agg": N}, {"having": {"$expr": {}}}, "$having 不支持操作符 $expr（仅可引用 by 键 / agg 别名，支持 $and/$or/$nor）"),
    ("n", {"agg": N}, {"having": {"amount": 1}}, '$having 引用了未声明的字段 "amount"（仅可引用 by 键 / agg 别名）'),
    ("n", {"agg": N}, {"sort": '{"n": 1}'}, "$sort 必须是对象"),
    ("n", {"agg": N}, {"sort": {"amount": 1}}, '$sort 键 "amount" 不在 $group 的 by 键 / agg 别名域内'),
    ("n", {"agg": N}, {"condition": {"a": {"$function": 1}}},
     "条件包含被拒绝的操作符 $function（服务端执行类，命中拒绝名单）：请改用结构化条件"),
])
def test_group_failures(reg, select, group, directives, message):
    with pytest.raises(RuntimeError) as e:
        grouped(reg, select, group, **directives)
    assert e.value.args == (message,)


@pytest.mark.parametrize("group", [
    {"by": ["hidden"]},
    {"agg": {"n": {"$sum": "hidden"}}},
])
def test_unreadable_group_fields_are_denied(reg, group):
    with pytest.raises(RuntimeError) as e:
        grouped(reg, "n hidden", group, {"roles": ["reader"]})
    assert e.value.args == ("ERR_PERMISSION:无访问权限",)
    assert grouped(reg, "n" if "agg" in group else "hidden", group, {"roles": ["admin"]})
