"""Query planning: the plan modes with their exact commands, reserved
parameters, permission refusals and the context gate."""
import pytest

import quorvel_py

NO_CONTEXT = ('ERR_NO_CONTEXT:require_context 已开启，调用必须携带用户上下文'
              '（内部调用请传 {"internal": true}）')
DENIED = "ERR_PERMISSION:无访问权限"
PHASE1 = {"$match": {"_id": {"$in": "{{phase1.ids}}"}}}


def loc(cmd):
    return {"collection": cmd["collection"], "kind": cmd["kind"]}


@pytest.fixture
def blog(reg):
    reg.register({
        "name": "User", "collection": "users",
        "fields": {"name": "string", "age": "int", "secret": {"type": "string", "read": ["admin"]},
                   "meta": {"type": "object", "fields": {"a": "string", "b": "string"}}},
        "relations": {"posts": {"model": "Post", "foreignField": "authorId"},
                      "vault": {"model": "Vault", "foreignField": "ownerId"},
                      "hidden": {"model": "Post", "foreignField": "authorId", "read": ["admin"]}},
    })
    reg.register({
        "name": "Post", "collection": "posts",
        "fields": {"title": "string", "authorId": "string", "body": "string"},
        "relations": {"author": {"model": "User", "type": "one", "localField": "authorId",
                                 "foreignField": "_id"}},
        "computes": {"summary": {"asyncFn": True, "depends": ["body", "author { name }"]}},
    })
    reg.register({"name": "Vault", "collection": "vaults", "read": ["admin"], "fields": {"ownerId": "string"}})
    reg.register({"name": "Draft", "collection": "drafts", "read": ["creator"],
                  "fields": {"title": "string", "createdBy": "string"}})
    return reg


POSTS_LOOKUP = {"$lookup": {
    "as": "posts", "from": "posts", "let": {"rel__id": {"$ifNull": ["$_id", None]}},
    "pipeline": [{"$match": {"$expr": {"$eq": ["$authorId", "$$rel__id"]}}},
                 {"$project": {"_id": 1, "title": 1}}]}}


def test_bare_model_aggregates_an_empty_pipeline(blog):
    assert blog.plan_query("User") == {
        "collection": "users",
        "commands": [{"collection": "users", "kind": "aggregate", "namespace": None, "pipeline": [],
                      "source": "default"}],
        "mode": "aggregate",
        "postprocess": {"ast": {"fields": [], "model": "User", "params": {}, "relations": {}}, "inject": None},
        "sort": None,
    }


def test_single_match_is_a_find(blog):
    plan = blog.plan_query("User($condition: @c) { name }", {"c": {"age": 3}})
    assert plan["mode"] == "find"
    assert plan["commands"] == [{"collection": "users", "filter": {"age": 3}, "kind": "find",
                                 "namespace": None, "projection": {"_id": 1, "name": 1},
                                 "source": "default"}]
    assert plan["sort"] is None
    assert plan["postprocess"]["ast"]["params"] == {"condition": "@c"}


@pytest.mark.parametrize("params, phase_one, sort", [
    ({"c": {"age": 3}, "n": 5}, [{"$match": {"age": 3}}, {"$limit": 5}], None),
    ({"n": 5, "s": {"name": 1}, "k": 10},
     [{"$sort": {"name": 1}}, {"$skip": 10}, {"$limit": 5}], {"$sort": {"name": 1}}),
    ({"k": 10}, [{"$skip": 10}], None),
])
def test_paged_query_with_relations_runs_in_two_phases(blog, params, phase_one, sort):
    plan = blog.plan_query(
        "User($condition: @c, $sort: @s, $skip: @k, $limit: @n) { name posts { title } }", params)
    assert plan["mode"] == "two_phase"
    first, second = plan["commands"]
    assert loc(first) == loc(second) == {"collection": "users", "kind": "aggregate"}
    assert first["pipeline"] == phase_one + [{"$project": {"_id": 1}}]
    assert second["pipeline"] == [PHASE1, POSTS_LOOKUP, {"$project": {"_id": 1, "name": 1, "posts": 1}}]
    assert plan["sort"] == sort


@pytest.mark.parametrize("gql, params", [
    # ordering by a joined field needs the join before paging
    ("User($sort: @s, $limit: @n) { name posts { title } }", {"s": {"posts.title": 1}, "n": 5}),
    # no relation to join
    ("User($condition: @c, $limit: @n) { name }", {"c": {"age": 3}, "n": 5}),
    # not paged
    ("User($condition: @c) { name posts { title } }", {"c": {"age": 3}}),
    # a relation filter joins, but fetches nothing for the result
    ("User($condition: @c, $limit: @n) { name }", {"c": {"posts": {"$exists": True}}, "n": 5}),
])
def test_other_pipelines_run_as_one_aggregate(blog, gql, params):
    plan = blog.plan_query(gql, params)
    assert plan["mode"] == "aggregate"
    [cmd] = plan["commands"]
    assert cmd["kind"] == "aggregate"
    assert cmd["pipeline"][-1]["$project"]["name"] == 1
    assert plan["sort"] is None


def test_relation_sort_keeps_the_pipeline_order(blog):
    plan = blog.plan_query("User($sort: @s, $limit: @n) { name posts { title } }",
                           {"s": {"posts.title": 1}, "n": 5})
    assert plan["commands"][0]["pipeline"] == [
        POSTS_LOOKUP, {"$sort": {"posts.title": 1}}, {"$limit": 5},
        {"$project": {"_id": 1, "name": 1, "posts": 1}}]


def test_grouped_query_has_no_projection_or_postprocess(blog):
    plan = blog.plan_query("User($group: @g) { n }", {"g": {"agg": {"n": {"$count": "*"}}}})
    assert plan["mode"] == "aggregate"
    assert plan["postprocess"] is None
    assert not any("$project" in s and s["$project"].get("_id") == 1 for s in plan["commands"][0]["pipeline"])
    assert {"$group": {"_id": None, "n": {"$sum": 1}}} in plan["commands"][0]["pipeline"]


def test_plan_query_one(blog):
    plan = blog.plan_query_one("User { name }")
    assert plan["mode"] == "aggregate"
    assert plan["commands"][0]["pipeline"] == [{"$limit": 1}, {"$project": {"_id": 1, "name": 1}}]
    assert plan["postprocess"]["ast"]["params"] == {"limit": "@__core_one_limit__"}
    # The host cannot override the reserved parameter.
    assert blog.plan_query_one("User { name }", {"__core_one_limit__": 9})["commands"][0]["pipeline"][0] == {
        "$limit": 1}
    # A query's own limit stays, even when its parameter is missing.
    assert blog.plan_query_one("User($limit: @n) { name }")["commands"][0]["pipeline"] == [
        {"$project": {"_id": 1, "name": 1}}]
    assert blog.plan_query_one("User($limit: @n) { name }", {"n": 3})["commands"][0]["pipeline"][0] == {
        "$limit": 3}


def test_owner_condition_narrows_creator_only_reads(blog):
    me = {"userId": "u1"}
    plan = blog.plan_query("Draft { title }", ctx=me)
    assert plan["mode"] == "find"
    assert plan["commands"][0]["filter"] == {"createdBy": "u1"}
    assert plan["postprocess"]["ast"]["params"] == {"condition": "@__core_owner__"}
    # A host value under the reserved name is replaced.
    plan = blog.plan_query("Draft { title }", {"__core_owner__": {}}, me)
    assert plan["commands"][0]["filter"] == {"createdBy": "u1"}
    plan = blog.plan_query("Draft($condition: @c) { title }", {"c": {"title": "x"}}, me)
    assert plan["commands"][0]["filter"] == {"$and": [{"title": "x"}, {"createdBy": "u1"}]}
    plan = blog.plan_query("Draft($condition: @c) { title }", {}, me)
    assert plan["commands"][0]["filter"] == {"createdBy": "u1"}
    assert plan["postprocess"]["ast"]["params"] == {"condition": "@c"}
    # Without a context, or for the system itself, nothing is added.
    assert blog.plan_query("Draft { title }")["mode"] == "aggregate"
    assert blog.plan_query("Draft { title }", ctx=quorvel_py.system_context())["mode"] == "aggregate"


@pytest.mark.parametrize("gql, ctx", [
    ("Vault { ownerId }", {"roles": ["member"]}),
    ("User { name vault { ownerId } }", {"roles": ["member"]}),
    ("User { name hidden { title } }", {"roles": ["member"]}),
    ("Post { title author { name vault { ownerId } } }", {"roles": ["member"]}),
    # refused before the pipeline would fail on the bad condition
    ("Vault($condition: @bad) { ownerId }", {"roles": ["member"]}),
    ("User($condition: @bad) { name vault { ownerId } }", {"roles": ["member"]}),
])
def test_refusals_come_before_anything_is_built(blog, gql, ctx):
    params = {"bad": {"$where": "1"}}
    with pytest.raises(RuntimeError) as err:
        blog.plan_query(gql, params, ctx)
    assert err.value.args == (DENIED,)
    if "@bad" in gql:
        with pytest.raises(RuntimeError, match="被拒绝的操作符"):
            blog.plan_query(gql, params)
    else:
        assert blog.plan_query(gql, params)["commands"]


def test_readable_relations_pass(blog):
    admin = {"roles": ["admin"]}
    assert blog.plan_query("User { name vault { ownerId } hidden { title } }", ctx=admin)["mode"] == "aggregate"
    # An undeclared name is left to pipeline assembly.
    with pytest.raises(RuntimeError, match='关系 "nope" 未在 schema "User" 中定义'):
        blog.plan_query("User { nope { x } }", ctx={"roles": ["member"]})


def test_context_gate(blog):
    blog.set_require_context(True)
    for call in (lambda: blog.plan_query("User"), lambda: blog.plan_query_one("User"),
                 lambda: blog.plan_query_with_count("User")):
        with pytest.raises(RuntimeError) as err:
            call()
        assert err.value.args == (NO_CONTEXT,)
    assert blog.plan_query("User", ctx=quorvel_py.system_context())["mode"] == "aggregate"
    # A non-dict ctx is no context.
    with pytest.raises(RuntimeError, match="^ERR_NO_CONTEXT:"):
        blog.plan_query("User", ctx="me")
    # The text is parsed and the model looked up first.
    with pytest.raises(RuntimeError, match="^Schema 未注册: Nope$"):
        blog.plan_query_with_count("Nope")


def test_async_dependencies_are_injected_and_recorded(blog):
    plan = blog.plan_query("Post { title }")
    assert plan["postprocess"] == {
        "ast": {"fields": ["title", "body"], "model": "Post", "params": {},
                "relations": {"author": {"fields": ["name"], "params": {}, "relations": {}}}},
        "inject": {"inject": {"fields": ["body"], "relations": {"author": "__all__"}}},
    }
    pipeline = plan["commands"][0]["pipeline"]
    assert pipeline[0]["$lookup"]["as"] == "author"
    assert pipeline[-1] == {"$project": {"_id": 1, "author": 1, "body": 1, "title": 1}}


def test_object_field_selection_is_flattened_in_postprocess(blog):
    plan = blog.plan_query("User { meta { a } }")
    assert plan["mode"] == "aggregate"
    assert plan["postprocess"]["ast"]["fields"] == ["meta.a"]
    assert plan["postprocess"]["ast"]["relations"] == {}
    assert plan["commands"][0]["pipeline"] == [{"$project": {"_id": 1, "meta.a": 1}}]


@pytest.mark.parametrize("params", [None, [1, 2], "c", 5])
def test_parameters_that_are_not_a_dict_are_none(blog, params):
    assert blog.plan_query("User($condition: @c) { name }", params) == blog.plan_query(
        "User($condition: @c) { name }")


def test_errors_and_argument_types(blog):
    with pytest.raises(RuntimeError, match="^Schema 未注册: Nope$"):
        blog.plan_query("Nope")
    with pytest.raises(RuntimeError):
        blog.plan_query("User {")
    with pytest.raises(TypeError):
        blog.plan_query(b"User")
    with pytest.raises(TypeError):
        blog.plan_query_one("User", route_override={1, 2})
