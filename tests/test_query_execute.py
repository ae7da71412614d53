"""Planned read commands executed on an in-memory document engine: the
documents a host gets back, for every plan mode."""
import pytest

from query_store import new_db, run_command, run_plan

USERS = [
    {"_id": "u1", "name": "Cy", "age": 30, "tagIds": ["t1", "t2"]},
    {"_id": "u2", "name": "Ann", "age": 25, "tagIds": ["t2"]},
    {"_id": "u3", "name": "Bo", "age": 41},
    {"_id": "u4", "name": "Di", "age": 19, "tagIds": []},
]
POSTS = [
    {"_id": "p1", "authorId": "u1", "title": "c1", "likes": 3, "createdBy": "u1"},
    {"_id": "p2", "authorId": "u1", "title": "a1", "likes": 5, "createdBy": "u1"},
    {"_id": "p3", "authorId": "u2", "title": "b1", "likes": 1, "createdBy": "u2"},
    {"_id": "p4", "authorId": "u9", "title": "z9", "likes": 0, "createdBy": "u9"},
]
TAGS = [{"_id": "t1", "label": "x"}, {"_id": "t2", "label": "y"}]


@pytest.fixture
def reg(reg):
    reg.register({
        "name": "User", "collection": "users",
        "fields": {"name": "string", "age": "int", "tagIds": "array"},
        "relations": {"posts": {"model": "Post", "foreignField": "authorId"},
                      "tags": {"model": "Tag", "localField": "tagIds", "foreignField": "_id"}},
        "computes": {"postCount": {"type": "int", "agg": {"$count": "posts"}},
                     "likeSum": {"agg": {"$sum": "posts.likes"}}},
    })
    reg.register({
        "name": "Post", "collection": "posts", "read": ["creator", "editor"],
        "fields": {"title": "string", "likes": "int", "authorId": "string", "createdBy": "string"},
        "relations": {"author": {"model": "User", "type": "one", "localField": "authorId",
                                 "foreignField": "_id"}},
    })
    reg.register({"name": "Tag", "collection": "tags", "fields": {"label": "string"}})
    return reg


@pytest.fixture
def db():
    db = new_db()
    for name, docs in (("users", USERS), ("posts", POSTS), ("tags", TAGS)):
        db[name].insert_many([dict(d) for d in docs])
    return db


def fetch(reg, db, gql, params=None, ctx=None, one=False):
    plan = (reg.plan_query_one if one else reg.plan_query)(gql, params, ctx)
    items = run_plan(reg, db, plan)
    done = reg.prepare_query(plan["postprocess"], items, ctx)
    return plan["mode"], reg.strip_query(plan["postprocess"], done["items"])["items"]


def test_find(reg, db):
    mode, items = fetch(reg, db, "User($condition: @c) { name }", {"c": {"age": {"$gte": 30}}})
    assert mode == "find"
    assert sorted(items, key=lambda u: u["_id"]) == [{"_id": "u1", "name": "Cy"}, {"_id": "u3", "name": "Bo"}]


def test_two_phase_page_equals_the_slice_of_the_whole_list(reg, db):
    gql = "User($sort: @s, $skip: @k, $limit: @n) { name posts { title } tags { label } }"
    whole_mode, whole = fetch(reg, db, gql, {"s": {"name": -1}})
    mode, page = fetch(reg, db, gql, {"s": {"name": -1}, "k": 1, "n": 2})
    assert (whole_mode, mode) == ("aggregate", "two_phase")
    assert page == whole[1:3]
    assert page == [
        {"_id": "u1", "name": "Cy", "posts": [{"title": "c1"}, {"title": "a1"}],
         "tags": [{"label": "x"}, {"label": "y"}]},
        {"_id": "u3", "name": "Bo", "posts": [], "tags": []},
    ]


def test_sorting_by_a_joined_field(reg, db):
    mode, items = fetch(reg, db, "Post($sort: @s, $limit: @n) { title author { name } }",
                        {"s": {"author.name": 1, "title": 1}, "n": 3})
    assert mode == "aggregate"
    assert [(p["title"], p.get("author", {}).get("name")) for p in items] == [
        ("z9", None), ("b1", "Ann"), ("a1", "Cy")]


def test_relation_filter_and_aggregate_computes(reg, db):
    mode, items = fetch(reg, db, "User($condition: @c, $sort: @s, $limit: @n) { name postCount likeSum }",
                        {"c": {"posts": {"$count": {"$gte": 1}}}, "s": {"name": 1}, "n": 5})
    # The aggregate computes join after paging; the relation filter before it.
    assert mode == "two_phase"
    assert items == [{"_id": "u2", "likeSum": 1, "name": "Ann", "postCount": 1},
                     {"_id": "u1", "likeSum": 8, "name": "Cy", "postCount": 2}]
    _, items = fetch(reg, db, "User($condition: @c) { name }", {"c": {"$not": {"posts": {"$exists": True}}}})
    assert sorted(u["name"] for u in items) == ["Bo", "Di"]


def test_grouped_rows(reg, db):
    plan = reg.plan_query("Post($group: @g, $sort: @s) { authorId n }",
                          {"g": {"by": ["authorId"], "agg": {"n": {"$count": "*"}}}, "s": {"authorId": 1}})
    assert run_plan(reg, db, plan) == [{"authorId": "u1", "n": 2}, {"authorId": "u2", "n": 1},
                                       {"authorId": "u9", "n": 1}]


def test_one_document_and_owner_condition(reg, db):
    assert fetch(reg, db, "User { name }", one=True)[1] == [{"_id": "u1", "name": "Cy"}]
    _, mine = fetch(reg, db, "Post($sort: @s) { title }", {"s": {"title": 1}}, {"userId": "u1"})
    assert mine == [{"_id": "p2", "title": "a1"}, {"_id": "p1", "title": "c1"}]
    _, all_ = fetch(reg, db, "Post { title }", None, {"userId": "u1", "roles": ["editor"]})
    assert len(all_) == 4


def test_list_with_count_and_scalar_reads(reg, db):
    plan = reg.plan_query_with_count("User($condition: @c, $sort: @s) { name }",
                                     {"c": {"age": {"$lt": 40}}, "s": {"name": 1}, "page": 1, "pageSize": 2},
                                     total=3)
    assert [u["name"] for u in run_plan(reg, db, plan)] == ["Di"]
    assert run_command(db, plan["countCommand"]) == 3
    assert plan["hasMore"] is False
    assert run_command(db, reg.plan_count("Post", ctx={"userId": "u2"})) == 1
    assert run_command(db, reg.plan_count("Post", {"likes": {"$gt": 2}})) == 2
    assert run_command(db, reg.plan_exists("User", {"name": "Bo"})) == {"_id": "u3"}
    assert run_command(db, reg.plan_exists("User", {"name": "Zed"})) is None
