import pytest

from pipeline_schemas import join, let_of, lookup, make_registry, unwind


@pytest.fixture(scope="module")
def reg():
    return make_registry()


def stages(reg, gql, params=None, ctx=None):
    return reg.build_pipeline(gql, params, ctx)["pipeline"]


def inner(stage):
    return stage["$lookup"]["pipeline"]


def test_to_many_lookup_shape(reg):
    assert stages(reg, "Post { comments { body } }") == [{"$lookup": {
        "as": "comments",
        "from": "comments",
        "let": {"rel__id": {"$ifNull": ["$_id", None]}},
        "pipeline": [{"$match": {"$expr": {"$eq": ["$postId", "$$rel__id"]}}}, {"$project": {"_id": 1, "body": 1}}],
    }}]


def test_array_local_field_joins_with_in(reg):
    [stage] = stages(reg, "Post { tagged { label } }")
    assert stage["$lookup"]["let"] == {"rel_tagIds": {"$cond": [{"$isArray": "$tagIds"}, "$tagIds", []]}}
    assert inner(stage)[0] == {"$match": join("_id", "rel_tagIds", "$in")}


def test_condition_and_owner_condition_join_the_match(reg):
    params = {"c": {"likes": {"$gt": 1}}}
    [stage] = stages(reg, "Post { comments($condition: @c) { body } }", params, {"userId": "u1", "roles": ["editor"]})
    assert inner(stage)[0] == {"$match": {"$and": [join("postId", "rel__id"), {"likes": {"$gt": 1}}, {"createdBy": "u1"}]}}


def test_missing_parameters_are_ignored(reg):
    [stage] = stages(reg, "Post { comments($condition: @c, $limit: @k, $skip: @s) { body } }", {"s": None})
    assert inner(stage) == [{"$match": join("postId", "rel__id")}, {"$project": {"_id": 1, "body": 1}}]


POST_OF_COMMENT = lookup("post", "posts", "rel_postId", let_of("postId"),
                         [{"$match": join("_id", "rel_postId")}, {"$project": {"_id": 1, "title": 1}}])


@pytest.mark.parametrize("sort, order", [
    ({"body": -1}, ["$match", "$sort", "$skip", "$limit", "$lookup", "$unwind", "$project"]),
    # A sort on a nested relation's path waits for that relation's join.
    ({"post.title": 1, "body": 1}, ["$match", "$lookup", "$unwind", "$sort", "$skip", "$limit", "$project"]),
])
def test_ordering_placement(reg, sort, order):
    params = {"s": sort, "k": 2, "n": 5}
    [stage] = stages(reg, "Post { comments($sort: @s, $skip: @k, $limit: @n) { body post { title } } }", params)
    got = inner(stage)
    assert [next(iter(s)) for s in got] == order
    assert {"$sort": sort} in got and {"$skip": 2} in got and {"$limit": 5} in got
    assert POST_OF_COMMENT in got and unwind("post") in got
    assert got[-1] == {"$project": {"_id": 1, "body": 1, "post": 1}}


def test_projection_adds_dependencies_of_fn_computes(reg):
    [stage] = stages(reg, "User { posts { wordCount summary } }")
    assert inner(stage)[-1] == {"$project": {"_id": 1, "body": 1, "summary": 1, "wordCount": 1}}


def test_projection_names_no_path_below_another(reg):
    # The database refuses an inclusion naming both "extra" and "extra.a".
    [stage] = stages(reg, "User { posts { extra.a extra$ extra body.x wordCount } }")
    assert inner(stage)[-1] == {"$project": {"_id": 1, "body": 1, "extra": 1, "extra$": 1, "wordCount": 1}}


def test_relations_only_selection_has_no_projection(reg):
    [stage] = stages(reg, "Post { comments { post { title } } }")
    assert [next(iter(s)) for s in inner(stage)] == ["$match", "$lookup", "$unwind"]


def chain(levels, directive=""):
    """Post → author → posts → author ... `levels` relations deep."""
    names = ["author" if i % 2 == 0 else "posts" for i in range(levels)]
    gql = "Post"
    for name in names:
        gql += f" {{ {name}{directive}"
    return gql + " { _id }" + " }" * levels


def depth_of_full_lookups(stage):
    """How many levels down the lookups still carry a selection."""
    depth = 0
    while stage is not None:
        pipeline = inner(stage)
        if len(pipeline) == 1:
            return depth
        depth += 1
        stage = next((s for s in pipeline if "$lookup" in s), None)
    return depth


@pytest.mark.parametrize("levels, directive, full", [
    (10, "", 10),
    (11, "", 10),  # depth 10 is a join-only lookup
    (4, "($limit: @n)", 4),
    (5, "($limit: @n)", 4),  # the fifth paged level is join-only
    (6, "($skip: @n)", 4),
])
def test_nesting_limits(reg, levels, directive, full):
    [first, *_] = stages(reg, chain(levels, directive), {"n": 3})
    assert depth_of_full_lookups(first) == full


def test_join_only_lookup_shape(reg):
    got = stages(reg, chain(11))
    stage = got[0]
    for _ in range(10):
        stage = next(s for s in inner(stage) if "$lookup" in s)
    assert stage == lookup("author", "users", "rel_authorId", let_of("authorId"),
                           [{"$match": join("_id", "rel_authorId")}])


@pytest.mark.parametrize("gql, params, message", [
    ("Post { author { nope { x } } }", None, '关系 "nope" 未在 schema "User" 中定义'),
    ("Comment { post { tagged { ghost { x } } } }", None, "Schema 未注册: Ghost"),
    ("User { posts($condition: @c) { title } }", {"c": {"$nor": []}},
     "$nor 逻辑组为空：拒绝生成无条件的全表查询（请在组内提供至少一个条件）"),
    ("User { posts($condition: @c) { title } }", {"c": {"extra": 1}},
     '对象字段 "extra" 不支持过滤条件（U2/D2：所有后端含 Mongo 统一显式拒绝）'),
    ("User { posts($sort: @s) { title } }", {"s": {"extra.a": 1}},
     '对象点号路径 "extra.a" 不支持排序（U4/D2：所有后端含 Mongo 统一显式拒绝）'),
])
def test_lookup_failures(reg, gql, params, message):
    with pytest.raises(RuntimeError) as e:
        reg.build_pipeline(gql, params)
    assert e.value.args == (message,)


# Aggregate computed fields ---------------------------------------------------

def agg_lookup(name, match=None):
    return lookup("_" + name, "posts", "aggv", let_of("_id"), [{"$match": match or join("authorId", "aggv")}])


def test_agg_value_expressions(reg):
    got = stages(reg, "User { likeAvg likeMax likeMin likeSum postCount }")
    assert got[:5] == [agg_lookup(n) for n in ["likeAvg", "likeMax", "likeMin", "likeSum", "postCount"]]
    assert got[5:] == [{"$addFields": {
        "likeAvg": {"$avg": "$_likeAvg.likes"},
        "likeMax": {"$max": "$_likeMax.likes"},
        "likeMin": {"$min": "$_likeMin.likes"},
        "likeSum": {"$cond": [{"$eq": [{"$size": {"$ifNull": ["$_likeSum", []]}}, 0]}, None,
                              {"$sum": "$_likeSum.likes"}]},
        "postCount": {"$size": {"$ifNull": ["$_postCount", []]}},
    }}]


def test_agg_over_owned_documents_adds_owner_condition(reg):
    got = stages(reg, "Post { commentCount }", ctx={"userId": "u1", "roles": ["editor"]})
    assert got[0]["$lookup"]["pipeline"] == [
        {"$match": {"$and": [join("postId", "aggv"), {"createdBy": "u1"}]}}]


@pytest.mark.parametrize("gql, ctx", [
    ("User { name }", None),                           # not selected
    ("User { adminCount }", {"roles": ["reader"]}),    # compute not readable
])
def test_agg_computes_skipped(reg, gql, ctx):
    assert stages(reg, gql, ctx=ctx) == []


@pytest.mark.parametrize("gql, ctx", [
    ("User { draftMax }", {"roles": ["reader"]}),        # aggregated field not readable
    ("Post { commentCount }", {"roles": ["reader"]}),    # relation not readable
    ("Post { commentCount }", {"roles": ["editor"]}),    # target schema read by creator only, no user id
])
def test_agg_computes_denied(reg, gql, ctx):
    with pytest.raises(RuntimeError) as e:
        reg.build_pipeline(gql, ctx=ctx)
    assert e.value.args == ("ERR_PERMISSION:无访问权限",)
