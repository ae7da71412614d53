"""The finalize round trip: prepare_query, the host's async computes, strip_query."""
import pytest

from query_store import new_db, run_plan

POSTS = [
    {"_id": "p1", "authorId": "u1", "title": "Hello", "body": "one two three", "createdBy": "u1"},
    {"_id": "p2", "authorId": "u2", "title": "Again", "createdBy": "u2"},
]
USERS = [{"_id": "u1", "name": "Ann", "bio": "x"}, {"_id": "u2", "name": "Bo", "bio": "y"}]


@pytest.fixture
def blog(reg):
    reg.register({"name": "User", "collection": "users", "fields": {"name": "string", "bio": "string"}})
    reg.register({
        "name": "Post", "collection": "posts",
        "fields": {"title": "string", "body": {"type": "string", "default": ""}, "authorId": "string",
                   "views": {"type": "int", "default": 0}, "note": {"type": "string", "read": ["creator"]},
                   "createdBy": "string"},
        "relations": {"author": {"model": "User", "type": "one", "localField": "authorId",
                                 "foreignField": "_id"}},
        "computes": {
            "words": {"type": "int", "fn": True, "depends": ["body"]},
            "byline": {"asyncFn": True, "depends": ["author { name }"]},
            "audit": {"asyncFn": True, "depends": ["views"], "read": ["admin"]},
        },
    })
    reg.set_fn("words", lambda doc: len(doc["body"].split()) or None)
    return reg


@pytest.fixture
def db():
    db = new_db()
    db.users.insert_many([dict(u) for u in USERS])
    db.posts.insert_many([dict(p) for p in POSTS])
    return db


def test_round_trip_with_real_callbacks(blog, db):
    plan = blog.plan_query("Post($sort: @s) { title words }", {"s": {"title": 1}})
    items = run_plan(blog, db, plan)
    done = blog.prepare_query(plan["postprocess"], items)
    assert done["fnRefs"] == ["audit", "byline"]
    # Injected dependencies survive post-processing so the host can use them.
    assert done["items"] == [
        {"_id": "p2", "author": {"name": "Bo"}, "title": "Again", "views": 0, "words": 0},
        {"_id": "p1", "author": {"name": "Ann"}, "title": "Hello", "views": 0, "words": 3},
    ]
    for post in done["items"]:
        post["byline"] = "by " + post["author"]["name"]
        post["audit"] = post["views"]
    stripped = blog.strip_query(plan["postprocess"], done["items"])["items"]
    assert stripped == [
        {"_id": "p2", "audit": 0, "byline": "by Bo", "title": "Again", "words": 0},
        {"_id": "p1", "audit": 0, "byline": "by Ann", "title": "Hello", "words": 3},
    ]


def test_context_trims_fields_and_async_computes(blog, db):
    me = {"userId": "u1"}
    blog.set_require_context(True)  # the post-processing entries take no gate
    # The owner field must be fetched for the per-document "creator" rule.
    plan = blog.plan_query("Post($sort: @s) { title note createdBy }", {"s": {"title": 1}}, me)
    items = run_plan(blog, db, plan)
    items[0]["note"], items[1]["note"] = "theirs", "mine"
    done = blog.prepare_query(plan["postprocess"], items, me)
    assert done["fnRefs"] == ["byline"]
    assert [p.get("note") for p in done["items"]] == [None, "mine"]
    assert blog.prepare_query(plan["postprocess"], items)["fnRefs"] == ["audit", "byline"]


def test_selected_relation_keeps_only_what_the_query_asked_for(blog, db):
    plan = blog.plan_query("Post($sort: @s) { title author { bio } }", {"s": {"title": 1}})
    assert plan["postprocess"]["inject"] == {"inject": {"fields": ["views"], "relations": {"author": ["name"]}}}
    done = blog.prepare_query(plan["postprocess"], run_plan(blog, db, plan))
    assert done["items"][0]["author"] == {"bio": "y", "name": "Bo"}
    stripped = blog.strip_query(plan["postprocess"], done["items"])["items"]
    assert stripped[0] == {"_id": "p2", "author": {"bio": "y"}, "title": "Again"}


@pytest.mark.parametrize("postprocess, items, expected", [
    (None, [{"a": 1}, 3], [{"a": 1}, 3]),
    ({"ast": {"model": "Post"}}, [{"score": 1}], [{"score": 1}]),
    ({"ast": {"model": "Post"}, "inject": None}, [{"score": 1}], [{"score": 1}]),
    ({"inject": {"fields": ["score"]}}, [{"score": 1, "a": 2}, 5], [{"a": 2}, 5]),
    ({"inject": {"inject": {"relations": {"author": "__all__"}}}}, [{"author": {}, "a": 1}], [{"a": 1}]),
    ({"inject": {"fields": ["score"]}}, "not a list", []),
    ("not an object", [{"score": 1}], [{"score": 1}]),
])
def test_strip_query(blog, postprocess, items, expected):
    assert blog.strip_query(postprocess, items) == {"items": expected}


def test_prepare_query_without_postprocess(blog):
    assert blog.prepare_query(None, [{"x": 1}, 2]) == {"fnRefs": [], "items": [{"x": 1}, 2]}
    assert blog.prepare_query(None, "x") == {"fnRefs": [], "items": []}


@pytest.mark.parametrize("postprocess, message", [
    ({}, "postprocess 缺少 ast"),
    ("x", "postprocess 缺少 ast"),
    ({"ast": 5}, "Ast 必须是对象"),
    ({"ast": {"model": "Nope"}}, "Schema 未注册: Nope"),
    ({"ast": {"model": "Post", "relations": {"author": 1}}}, "RelAst 必须是对象"),
])
def test_prepare_query_errors(blog, postprocess, message):
    with pytest.raises(RuntimeError) as err:
        blog.prepare_query(postprocess, [])
    assert err.value.args == (message,)


def test_callback_failures_end_the_call(blog, db):
    plan = blog.plan_query("Post { title words }")
    items = run_plan(blog, db, plan)

    def bad(doc):
        raise ValueError("bad")
    blog.set_fn("words", bad)
    with pytest.raises(RuntimeError) as err:
        blog.prepare_query(plan["postprocess"], items)
    assert err.value.args == ("ValueError: bad",)

    blog.clear_fns()
    with pytest.raises(RuntimeError, match="^计算列 words 未注册同步实现$"):
        blog.prepare_query(plan["postprocess"], items)

    def registers(doc):
        blog.register({"name": "Late"})
    blog.set_fn("words", registers)
    with pytest.raises(RuntimeError, match="Already borrowed"):
        blog.prepare_query(plan["postprocess"], items)
    assert not blog.has("Late")
