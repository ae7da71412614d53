import pytest

from pipeline_schemas import join, let_of, lookup, make_registry


@pytest.fixture(scope="module")
def reg():
    return make_registry()


def planned(reg, condition, model="User", ctx=None):
    return reg.build_pipeline(f"{model}($condition: @c)", {"c": condition}, ctx)["pipeline"]


def proxy(as_, frm, foreign, group, having, match=None):
    return lookup(as_, frm, "rel__id", let_of("_id"),
                  [{"$match": match or join(foreign, "rel__id")}, {"$group": {"_id": "$" + foreign, **group}},
                   {"$match": having}])


def posts_proxy(index, group, having, match=None):
    return proxy(f"__rp{index}__posts", "posts", "authorId", group, having, match)


COUNT = {"n": {"$sum": 1}}


def test_exists(reg):
    assert planned(reg, {"posts": {"$exists": True}}) == [{"$lookup": {
        "as": "__rp0__posts",
        "from": "posts",
        "let": {"rel__id": {"$ifNull": ["$_id", None]}},
        "pipeline": [
            {"$match": {"$expr": {"$eq": ["$authorId", "$$rel__id"]}}},
            {"$group": {"_id": "$authorId", "n": {"$sum": 1}}},
            {"$match": {"n": {"$gt": 0}}},
        ],
    }}, {"$match": {"__rp0__posts.0": {"$exists": True}}}]


def test_main_form_keeps_only_aliases_the_having_uses(reg):
    cond = {"posts": {"filter": {"published": True}, "agg": {"n": {"$count": "*"}, "s": {"$sum": "likes"}},
                      "having": {"n": {"$gt": 5}}}}
    assert planned(reg, cond)[0] == posts_proxy(0, COUNT, {"n": {"$gt": 5}},
                                                {"$and": [join("authorId", "rel__id"), {"published": True}]})


@pytest.mark.parametrize("cond, exists", [
    ({"posts": {"$exists": False}}, False),
    ({"$not": {"posts": {"$exists": True}}}, False),
    ({"$not": {"posts": {"$exists": False}}}, True),
    ({"$not": {"posts": {"agg": {"n": {"$count": "*"}}, "having": {"n": 1}}}}, False),
])
def test_negation_is_an_anti_join(reg, cond, exists):
    assert planned(reg, cond)[-1] == {"$match": {"__rp0__posts.0": {"$exists": exists}}}


@pytest.mark.parametrize("value, group, having", [
    ({"$count": {"$gte": 2}}, COUNT, {"n": {"$gte": 2}}),
    ({"$count": {"$of": "title", "$ne": 0}},
     {"n": {"$sum": {"$cond": [{"$eq": [{"$ifNull": ["$title", None]}, None]}, 0, 1]}}}, {"n": {"$ne": 0}}),
    ({"$sum": {"$of": "likes", "$lt": 9}}, {"v": {"$sum": "$likes"}}, {"v": {"$lt": 9}}),
    ({"$avg": {"$of": "likes", "$eq": 1.5}}, {"v": {"$avg": "$likes"}}, {"v": {"$eq": 1.5}}),
    ({"$min": {"$of": "likes", "$lte": 0}}, {"v": {"$min": "$likes"}}, {"v": {"$lte": 0}}),
    ({"$max": {"$of": "likes", "$gt": 100}}, {"v": {"$max": "$likes"}}, {"v": {"$gt": 100}}),
])
def test_shorthand_forms(reg, value, group, having):
    got = planned(reg, {"age": {"$gt": 3}, "posts": value})
    assert got == [posts_proxy(0, group, having), {"$match": {"__rp0__posts.0": {"$exists": True}, "age": {"$gt": 3}}}]


def test_predicates_are_numbered_in_key_order_through_logical_groups(reg):
    cond = {"posts": {"$exists": True}, "$or": [{"orders": {"$count": {"$gt": 1}}}, {"age": 1}],
            "$and": [{"posts": {"$sum": {"$of": "likes", "$gt": 2}}}]}
    got = planned(reg, cond)
    assert [s["$lookup"]["as"] for s in got[:-1]] == ["__rp0__posts", "__rp1__orders", "__rp2__posts"]
    assert got[1] == proxy("__rp1__orders", "orders", "customerId", COUNT, {"n": {"$gt": 1}})
    assert got[-1] == {"$match": {
        "$and": [{"__rp0__posts.0": {"$exists": True}}],
        "$or": [{"__rp1__orders.0": {"$exists": True}}, {"age": 1}],
        "__rp2__posts.0": {"$exists": True},
    }}


def test_filter_and_owner_condition_join_the_match(reg):
    cond = {"comments": {"$filter": {"$or": [{"likes": 1}]}, "$exists": True}}
    got = planned(reg, cond, "Post", {"userId": "u1", "roles": ["editor"]})
    assert got[0] == lookup("__rp0__comments", "comments", "rel__id", let_of("_id"), [
        {"$match": {"$and": [join("postId", "rel__id"), {"$or": [{"likes": 1}]}, {"createdBy": "u1"}]}},
        {"$group": {"_id": "$postId", **COUNT}},
        {"$match": {"n": {"$gt": 0}}},
    ])


def test_array_local_field_aggregates_over_the_whole_relation(reg):
    # Joined through an array, the related documents differ in the foreign
    # field: grouping by it would count them one at a time.
    got = planned(reg, {"tagged": {"$count": {"$gte": 2}}}, "Post")
    assert got[0] == lookup("__rp0__tagged", "tags", "rel_tagIds",
                            {"$cond": [{"$isArray": "$tagIds"}, "$tagIds", []]}, [
                                {"$match": join("_id", "rel_tagIds", "$in")},
                                {"$group": {"_id": None, **COUNT}},
                                {"$match": {"n": {"$gte": 2}}},
                            ])
    mongomock_ng = pytest.importorskip("mongomock_ng")
    db = mongomock_ng.MongoClient()["filters"]
    db.posts.insert_many([{"_id": "p1", "tagIds": ["t1", "t2"]}, {"_id": "p2", "tagIds": ["t1"]}, {"_id": "p3"}])
    db.tags.insert_many([{"_id": "t1"}, {"_id": "t2"}])
    assert [d["_id"] for d in db.posts.aggregate(got)] == ["p1"]


def test_condition_without_predicates_is_kept(reg):
    cond = {"$or": [{"age": 1}, {"name": {"$not": {"$eq": "x"}}}], "posts_x": 1}
    assert planned(reg, cond) == [{"$match": cond}]


P = '关系聚合谓词 "posts"'
AGG = {"n": {"$count": "*"}}


@pytest.mark.parametrize("cond, message", [
    ({"$and": {"posts": {"$exists": True}}}, "$and 需要数组"),
    ({"$nor": 1}, "$nor 需要数组"),
    ({"$not": 1}, "$not 需要对象（仅支持包裹单个关系聚合谓词）"),
    ({"$not": {}}, "$not 仅支持包裹单个关系聚合谓词（否定 = anti-join）"),
    ({"$not": {"posts": {"$exists": True}, "orders": {"$exists": True}}}, "$not 仅支持包裹单个关系聚合谓词（否定 = anti-join）"),
    ({"$not": {"age": 1}}, '$not 仅支持包裹关系聚合谓词（否定 = anti-join），收到键 "age"'),
    ({"posts.title": "x"}, '二级关系路径 "posts.title" 首批不支持（关系聚合谓词仅支持一级关系）'),
    ({"$or": [{"orders.x.y": 1}]}, '二级关系路径 "orders.x.y" 首批不支持（关系聚合谓词仅支持一级关系）'),
    ({"posts": 1}, P + " 必须是对象（主形式 filter/agg/having 或简写形式）"),
    # main form
    ({"posts": {"agg": AGG, "having": {"n": 1}, "x": 1}}, P + ' 主形式仅支持 filter/agg/having，收到 "x"'),
    ({"posts": {"agg": AGG}}, P + " 主形式必须提供 having"),
    ({"posts": {"agg": AGG, "having": 1}}, P + " 的 having 必须是条件对象"),
    ({"posts": {"filter": 1, "agg": AGG, "having": {}}}, P + " 的 filter 必须是对象（仅标量域）"),
    ({"posts": {"filter": {"$or": {}}, "agg": AGG, "having": {}}}, P + " 的 filter 中 $or 需要数组"),
    ({"posts": {"filter": {"$expr": 1}, "agg": AGG, "having": {}}}, P + ' 的 filter 不支持操作符 "$expr"（仅标量字段条件）'),
    ({"posts": {"filter": {"$and": [{"author": 1}]}, "agg": AGG, "having": {}}},
     P + ' 引用了关系字段 "author"（仅支持一级关系的标量字段；二级路径首批不支持）'),
    ({"posts": {"filter": {"extra.a": 1}, "agg": AGG, "having": {}}}, P + ' 字段 "extra.a" 不可为点号路径（仅支持标量字段）'),
    ({"posts": {"filter": {"labels": 1}, "agg": AGG, "having": {}}}, P + ' 字段 "labels" 是数组字段（U1/D2：仅支持标量域）'),
    ({"posts": {"filter": {"extra": 1}, "agg": AGG, "having": {}}}, P + ' 字段 "extra" 是对象字段（U2/D2：仅支持标量域）'),
    ({"posts": {"filter": {"nope": 1}, "agg": AGG, "having": {}}}, P + ' 引用了 schema 外字段 "nope"'),
    ({"posts": {"agg": None, "having": {}}}, P + " 省略 agg 时无法推导 having 引用的聚合（请显式声明 agg）"),
    ({"posts": {"agg": {"n": {"$median": "likes"}}, "having": {}}},
     P + ' 的 agg 非法: $group.agg "n" 的算子 $median 不在白名单（$count/$sum/$avg/$min/$max）'),
    ({"posts": {"agg": {"n": {"$sum": "labels"}}, "having": {}}},
     P + ' 的 agg 非法: $group 的 agg "n"（$sum）字段 "labels" 必须是标量字段'),
    ({"posts": {"agg": AGG, "having": {"m": 1}}},
     P + ' 的 having 非法: $having 引用了未声明的字段 "m"（仅可引用 by 键 / agg 别名）'),
    ({"posts": {"agg": AGG, "having": {"$or": [{}]}}}, P + " 的 having 未引用任何 agg 别名"),
    # shorthand
    ({"posts": {"$size": 1}}, P + ' 简写形式不支持的键 "$size"（仅 $filter ＋ 恰好一个聚合谓词）'),
    ({"posts": {}}, P + " 简写形式必须恰有一个聚合谓词（$exists/$count/$sum/$avg/$min/$max；多谓词请用主形式 having）"),
    ({"posts": {"$exists": True, "$count": {"$gt": 1}}},
     P + " 简写形式必须恰有一个聚合谓词（$exists/$count/$sum/$avg/$min/$max；多谓词请用主形式 having）"),
    ({"posts": {"$filter": [], "$exists": True}}, P + " 的 filter 必须是对象（仅标量域）"),
    ({"posts": {"$exists": 1}}, P + " 的 $exists 必须是布尔"),
    ({"posts": {"$count": 2}}, P + " 的 $count 值必须是对象"),
    ({"posts": {"$count": {"$of": 1, "$gt": 1}}}, P + " 的 $of 必须是字段名"),
    ({"posts": {"$count": {"$gt": 1, "$lt": 5}}}, P + " 的 $count 仅允许一个比较算子（多谓词请用主形式 having）"),
    ({"posts": {"$count": {"$gt": 1, "$in": [1]}}}, P + ' 的 $count 不支持的键 "$in"（仅 $of ＋ 一个比较算子）'),
    ({"posts": {"$sum": {"$gt": 1}}}, P + " 的 $sum 必须带 $of 字段"),
    ({"posts": {"$avg": {"$of": "likes"}}}, P + " 的 $avg 缺少比较算子（$gt/$gte/$lt/$lte/$eq/$ne）"),
    ({"posts": {"$min": {"$of": "author", "$gt": 1}}},
     P + ' 引用了关系字段 "author"（仅支持一级关系的标量字段；二级路径首批不支持）'),
])
def test_predicate_failures(reg, cond, message):
    with pytest.raises(RuntimeError) as e:
        planned(reg, cond)
    assert e.value.args == (message,)


def test_unregistered_target(reg):
    with pytest.raises(RuntimeError) as e:
        planned(reg, {"ghost": {"$exists": True}}, "Tag")
    assert e.value.args == ("Schema 未注册: Ghost",)


@pytest.mark.parametrize("model, cond", [
    ("Post", {"comments": {"$exists": True}}),                                 # relation
    ("User", {"posts": {"$filter": {"$or": [{"draft": "x"}]}, "$exists": True}}),  # filter field
    ("User", {"posts": {"$max": {"$of": "draft", "$gt": 1}}}),               # aggregated field
])
def test_unreadable_predicates_are_denied(reg, model, cond):
    with pytest.raises(RuntimeError) as e:
        planned(reg, cond, model, {"roles": ["reader"]})
    assert e.value.args == ("ERR_PERMISSION:无访问权限",)
    assert planned(reg, cond, model, {"roles": ["editor"], "userId": "u1"})
