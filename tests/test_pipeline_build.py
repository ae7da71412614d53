import pytest

from pipeline_schemas import join, let_of, lookup, make_registry, unwind


@pytest.fixture(scope="module")
def reg():
    return make_registry()


def pipeline(reg, gql, params=None, ctx=None):
    return reg.build_pipeline(gql, params, ctx)["pipeline"]


def fails(reg, gql, params, message, ctx=None):
    with pytest.raises(RuntimeError) as e:
        reg.build_pipeline(gql, params, ctx)
    assert e.value.args == (message,)


POSTS_TITLE = lookup("posts", "posts", "rel__id", let_of("_id"),
                     [{"$match": join("authorId", "rel__id")}, {"$project": {"_id": 1, "title": 1}}])


@pytest.mark.parametrize("gql, params", [
    ("User", None),
    ("User", [1, 2]),  # not an object: no parameters
    ("User($condition: @c)", {}),
    ("User($condition: @c)", {"c": None}),
    ("User($condition: @)", {"c": {"age": 1}}),
    ("User($having: @h, $group: @g, $sort: @s)", {"h": None, "g": None, "s": None}),
])
def test_directives_not_given_add_nothing(reg, gql, params):
    assert pipeline(reg, gql, params) == []


def test_stage_order(reg):
    params = {"c": {"age": 3}, "s": {"name": 1}, "k": 10, "n": 5}
    got = pipeline(reg, "User($limit: @n, $skip: @k, $sort: @s, $condition: @c) { name posts { title } }", params)
    assert got == [{"$match": {"age": 3}}, POSTS_TITLE, {"$sort": {"name": 1}}, {"$skip": 10}, {"$limit": 5}]


def test_directive_values_pass_unchanged(reg):
    # An identifier value names the parameter after its first character, and
    # ordering values are copied as given, a string sort included.
    got = pipeline(reg, "User($sort: xs, $skip: @k, $limit: @n)", {"s": '{"a": 1}', "k": None, "n": 5.5})
    assert got == [{"$sort": '{"a": 1}'}, {"$limit": 5.5}]


def test_to_one_relation_is_unwound(reg):
    got = pipeline(reg, "Post { title author { name } }")
    assert got == [
        lookup("author", "users", "rel_authorId", let_of("authorId"),
               [{"$match": join("_id", "rel_authorId")}, {"$project": {"_id": 1, "name": 1}}]),
        unwind("author"),
    ]


def test_object_field_selection_is_flattened(reg):
    out = reg.build_pipeline("User { meta { a b } name }")
    assert out["pipeline"] == []
    assert out["ast"]["relations"] == {"meta": {"fields": ["a", "b"], "params": {}, "relations": {}}}
    assert out["projection"] == {"_id": 1, "meta.a": 1, "meta.b": 1, "name": 1}


def test_agg_computes_selected_at_root_come_last(reg):
    got = pipeline(reg, "User($limit: @n) { name postCount.x posts { title } }", {"n": 1})
    assert got == [
        POSTS_TITLE,
        {"$limit": 1},
        lookup("_postCount", "posts", "aggv", let_of("_id"), [{"$match": join("authorId", "aggv")}]),
        {"$addFields": {"postCount": {"$size": {"$ifNull": ["$_postCount", []]}}}},
    ]


@pytest.mark.parametrize("gql, params, message", [
    ("Nope", None, "Schema 未注册: Nope"),
    ("User($having: @h)", {"h": {"n": 1}}, "$having 需要与 $group 同时使用（无 $group 时没有分组结果可过滤）"),
    ("User($condition: @c, $group: @g) { n }",
     {"c": {"posts": {"$exists": True}}, "g": {"agg": {"n": {"$count": "*"}}}},
     "$group 查询暂不支持关系聚合谓词（§9.6 属 $condition 段，与分组终结路径暂未互通）"),
    # The shape check runs before the operator check.
    ("User($condition: @c)", {"c": {"$or": [{"tags": 1}], "$where": "x"}},
     '数组字段 "tags" 不支持过滤条件（U1/D2：所有后端含 Mongo 统一显式拒绝）'),
    ("User($condition: @c)", {"c": {"a": {"$where": "x"}}},
     "条件包含被拒绝的操作符 $where（服务端执行类，命中拒绝名单）：请改用结构化条件"),
    ("User($sort: @s)", {"s": {"meta.a": 1}}, '对象点号路径 "meta.a" 不支持排序（U4/D2：所有后端含 Mongo 统一显式拒绝）'),
    ("User { nope { x } }", None, '关系 "nope" 未在 schema "User" 中定义'),
    # An object field without a declared structure is not flattened.
    ("User { blob { a } }", None, '关系 "blob" 未在 schema "User" 中定义'),
    ("Tag { ghost { x } }", None, "Schema 未注册: Ghost"),
])
def test_failures(reg, gql, params, message):
    fails(reg, gql, params, message)


def test_large_queries(reg):
    fields = " ".join(f"f{i}" for i in range(200))
    rels = " ".join("posts { title }" for _ in range(50))
    got = pipeline(reg, f"User($condition: @c) {{ {fields} {rels} }}", {"c": {f"k{i}": i for i in range(10000)}})
    assert len(got) == 51 and len(got[0]["$match"]) == 10000


# Projection -----------------------------------------------------------------

POST_DEPS = {"author": 1, "body": 1, "title": 1}  # wordCount: body; summary: title, author{name}


@pytest.mark.parametrize("gql, projection", [
    ("Post", None),
    ("Post { author { name } }", None),
    ("Post { nope }", None),
    ("Post { wordCount }", None),
    ("Post { commentCount }", None),
    ("Post { title body }", {"_id": 1, "title": 1, **POST_DEPS}),
    ("Post { title nope author { name } }", {"_id": 1, "title": 1, **POST_DEPS}),
    ("Post { extra.a extra }", {"_id": 1, "extra": 1, **POST_DEPS}),
    ("Post { extra extra.a }", {"_id": 1, "extra": 1, **POST_DEPS}),
    ("Post { extra.b extra.a }", {"_id": 1, "extra.a": 1, "extra.b": 1, **POST_DEPS}),
    # A path below another selected path is covered by it: naming both is a
    # collision the database refuses.
    ("Post { extra.a.x extra.a$ extra.a }", {"_id": 1, "extra.a": 1, "extra.a$": 1, **POST_DEPS}),
    ("Post { title commentCount wordCount }", {"_id": 1, "commentCount": 1, "title": 1, **POST_DEPS}),
    ("Post { title comments { body } }", {"_id": 1, "comments": 1, "title": 1, **POST_DEPS}),
    # The dependency "meta{a}" would collide with the selected sub-path.
    ("User { name meta.b }", {"_id": 1, "meta.b": 1, "name": 1}),
    ("User { email }", {"_id": 1, "email": 1, "meta": 1, "name": 1}),
])
def test_projection(reg, gql, projection):
    assert reg.build_pipeline(gql)["projection"] == projection


@pytest.mark.parametrize("ctx, projection", [
    (None, {"_id": 1, "draft": 1, "extra.a": 1, "title": 1, **POST_DEPS}),
    ({"roles": ["reader"]}, {"_id": 1, "extra.a": 1, "title": 1, **POST_DEPS}),
    ({"roles": ["editor"]}, {"_id": 1, "draft": 1, "extra.a": 1, "title": 1, **POST_DEPS}),
])
def test_projection_drops_unreadable_fields(reg, ctx, projection):
    assert reg.build_pipeline("Post { title draft extra.a }", ctx=ctx)["projection"] == projection


def test_method_contract():
    import inspect

    reg = make_registry()
    assert str(inspect.signature(reg.build_pipeline)) == "(gql, params=None, ctx=None)"
    reg.set_require_context(True)  # a diagnostic view needs no context
    out = reg.build_pipeline(gql="Tag { label }")
    assert out == {
        "ast": {"fields": ["label"], "model": "Tag", "params": {}, "relations": {}},
        "pipeline": [],
        "projection": {"_id": 1, "label": 1},
        "tokens": [{"t": "id", "v": "Tag"}, {"t": "p", "v": "{"}, {"t": "id", "v": "label"}, {"t": "p", "v": "}"}],
    }
    with pytest.raises(TypeError):
        reg.build_pipeline(b"Tag")
