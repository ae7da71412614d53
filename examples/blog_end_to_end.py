"""The read path end to end: a small blog planned, run and finalized.

A host registers its schemas once, then for every request asks the Registry
for the commands to run, runs them on its document database (here the
in-memory engine of the `mongomock-ng` package), and hands the documents back
for post-processing:

    plan = reg.plan_query(gql, params, ctx)        # commands + postprocess
    items = <run plan["commands"]>                 # the host's database
    done = reg.prepare_query(plan["postprocess"], items, ctx)
    <compute every fnRef in done["fnRefs"]>        # the host's async work
    items = reg.strip_query(plan["postprocess"], done["items"])["items"]

Run with: python3 examples/blog_end_to_end.py   (needs `pip install "mongomock-ng[pymongo]"`)
"""
import json
import sys

import quorvel_py

try:
    import mongomock_ng
except ImportError:  # pragma: no cover - told to the reader instead
    sys.exit('this example runs the planned commands on mongomock-ng: pip install "mongomock-ng[pymongo]"')


# --- 1. Schemas ---------------------------------------------------------------

SCHEMAS = [
    {
        "name": "User",
        "collection": "users",
        "fields": {"name": "string", "email": {"type": "string", "read": ["admin"]}},
        "relations": {"posts": {"model": "Post", "localField": "_id", "foreignField": "authorId"}},
    },
    {
        "name": "Post",
        "collection": "posts",
        "fields": {"title": "string", "body": "string", "authorId": "string",
                   "views": {"type": "int", "default": 0}},
        "relations": {
            "author": {"model": "User", "type": "one", "localField": "authorId", "foreignField": "_id"},
            "comments": {"model": "Comment", "localField": "_id", "foreignField": "postId"},
        },
        "computes": {
            # computed by the core through a callback registered with set_fn
            "wordCount": {"type": "int", "fn": True, "depends": ["body"]},
            # computed by the host after prepare_query, from the author's name
            "byline": {"type": "string", "asyncFn": True, "depends": ["author { name }"]},
        },
    },
    {
        "name": "Comment",
        "collection": "comments",
        "fields": {"postId": "string", "text": "string"},
    },
    {
        # each user sees only the drafts they created ("createdBy")
        "name": "Draft",
        "collection": "drafts",
        "read": ["creator"],
        "fields": {"title": "string", "createdBy": "string"},
    },
]

DATA = {
    "users": [{"_id": "u1", "name": "Ann", "email": "ann@example.org"},
              {"_id": "u2", "name": "Bo", "email": "bo@example.org"}],
    "posts": [{"_id": "p1", "authorId": "u1", "title": "Hello", "body": "first post here"},
              {"_id": "p2", "authorId": "u1", "title": "Again", "body": "two words", "views": 7},
              {"_id": "p3", "authorId": "u2", "title": "Bo writes", "body": "a b c d"}],
    "comments": [{"_id": "c1", "postId": "p1", "text": "nice"},
                 {"_id": "c2", "postId": "p1", "text": "+1"},
                 {"_id": "c3", "postId": "p3", "text": "hm"}],
    "drafts": [{"_id": "d1", "title": "mine", "createdBy": "u1"},
               {"_id": "d2", "title": "theirs", "createdBy": "u2"}],
}


def show(label, value):
    print(f"{label}: {json.dumps(value, ensure_ascii=False, default=str)}")


# --- 2. Running planned commands, as a host does -------------------------------

PHASE1_IDS = "{{phase1.ids}}"


def fill_ids(value, ids):
    """Puts phase one's _id list where the second command holds the placeholder."""
    if value == PHASE1_IDS:
        return list(ids)
    if isinstance(value, list):
        return [fill_ids(v, ids) for v in value]
    if isinstance(value, dict):
        return {k: fill_ids(v, ids) for k, v in value.items()}
    return value


def run_command(db, cmd):
    coll = db[cmd["collection"]]
    if cmd["kind"] == "find":
        return list(coll.find(cmd["filter"], cmd["projection"]))
    if cmd["kind"] == "findOne":
        return coll.find_one(cmd["filter"], cmd["projection"])
    if cmd["kind"] == "aggregate":
        return list(coll.aggregate(cmd["pipeline"]))
    if cmd["kind"] == "countDocuments":
        return coll.count_documents(cmd["filter"])
    raise ValueError(f"not a read command: {cmd['kind']}")


def run_plan(reg, db, plan):
    first = run_command(db, plan["commands"][0])
    if plan["mode"] != "two_phase":
        return first
    # Two phases: page over root ids, then join relations for that page only.
    ids = [doc["_id"] for doc in first]
    items = run_command(db, fill_ids(plan["commands"][1], ids))
    return reg.restore_sort_order(items, ids, plan["sort"])["items"]


def finalize(reg, plan, items, ctx=None):
    """prepare_query, the host's async computes, strip_query."""
    done = reg.prepare_query(plan["postprocess"], items, ctx)
    items = done["items"]
    for fn_ref in done["fnRefs"]:
        if fn_ref == "byline":
            for post in items:
                author = post.get("author") or {}
                post["byline"] = f"by {author.get('name', 'nobody')}"
    return reg.strip_query(plan["postprocess"], items)["items"]


# --- 3. The host ----------------------------------------------------------------

def main() -> None:
    reg = quorvel_py.Registry()
    for schema in SCHEMAS:
        reg.register(schema)
    reg.set_fn("wordCount", lambda post: len((post.get("body") or "").split()))

    db = mongomock_ng.MongoClient()["blog"]
    for collection, docs in DATA.items():
        db[collection].insert_many([dict(d) for d in docs])

    ann = {"userId": "u1", "roles": ["member"]}

    # A plain condition and a field selection: one find.
    plan = reg.plan_query("User($condition: @c) { name email }", {"c": {"_id": "u1"}})
    show("find command", plan["commands"][0])
    show("users (no context)", finalize(reg, plan, run_plan(reg, db, plan)))
    show("users (as Ann)", finalize(reg, plan, run_plan(reg, db, plan), ann))

    # Paging a query that joins relations: two phases, re-ordered by phase one.
    gql = "Post($sort: @s, $limit: @n) { title wordCount byline author { name } comments { text } }"
    plan = reg.plan_query(gql, {"s": {"title": 1}, "n": 2})
    print("mode:", plan["mode"])
    show("posts page", finalize(reg, plan, run_plan(reg, db, plan)))

    # A list with its total: the count command ignores skip and limit.
    plan = reg.plan_query_with_count("Post { title }", {"page": 0, "pageSize": 2},
                                     total=db.posts.count_documents({}))
    show("page 0", finalize(reg, plan, run_plan(reg, db, plan)))
    print("total:", run_command(db, plan["countCommand"]), "hasMore:", plan["hasMore"])

    # Counts and existence checks are single scalar commands.
    print("drafts Ann may count:", run_command(db, reg.plan_count("Draft", ctx=ann)))
    print("a post titled Hello exists:",
          run_command(db, reg.plan_exists("Post", {"title": "Hello"})) is not None)

    # A creator-only schema: the owner condition is added for the caller.
    plan = reg.plan_query("Draft { title }", ctx=ann)
    show("Ann's drafts", finalize(reg, plan, run_plan(reg, db, plan), ann))

    # Route overrides re-target every command, e.g. to a tenant's namespace.
    plan = reg.plan_query("Post { title }", route_override={"source": "replica", "namespace": "tenant7"})
    cmd = plan["commands"][0]
    print("routed to:", cmd["source"], cmd["namespace"])

    # Fail-secure mode: planning without a context is refused.
    reg.set_require_context(True)
    try:
        reg.plan_query("Post { title }")
    except RuntimeError as e:
        print("refused:", e)
    plan = reg.plan_query("Post { title }", ctx=quorvel_py.system_context())
    print("system context plans as:", plan["mode"])


if __name__ == "__main__":
    main()
