"""Read-path timings: planning a typical list query and finalizing fetched
documents, each against the cost of the call's own value conversions.

The floor of a call is strip_dep_injected with an empty record over the same
data: it converts those values into the core and back and does nothing else,
so "x floor" shows how much the work itself adds to the crossing.
"""
import time

import quorvel_py

LIST_QUERY = ("Post($condition: @c, $sort: @s, $limit: @n) "
              "{ title views createdAt author { name } comments { text createdAt } }")
LIST_PARAMS = {"c": {"views": {"$gte": 10}, "title": {"$ne": ""}}, "s": {"createdAt": -1}, "n": 20}
OWNER_CTX = {"userId": "u1", "roles": ["member"]}


def registry():
    reg = quorvel_py.Registry()
    reg.register({"name": "User", "collection": "users", "fields": {"name": "string", "email": "string"}})
    reg.register({
        "name": "Post", "collection": "posts", "read": ["creator", "editor"],
        "fields": {"title": "string", "body": {"type": "string", "default": ""},
                   "views": {"type": "int", "default": 0}, "authorId": "string", "createdBy": "string"},
        "relations": {
            "author": {"model": "User", "type": "one", "localField": "authorId", "foreignField": "_id"},
            "comments": {"model": "Comment", "foreignField": "postId"},
        },
        "computes": {"words": {"type": "int", "fn": True, "depends": ["body"]}},
    })
    reg.register({"name": "Comment", "collection": "comments", "fields": {"text": "string", "postId": "string"}})
    reg.set_fn("words", lambda doc: len(doc["body"].split()))
    return reg


def fetched_posts(n):
    return [{"_id": f"p{i}", "title": f"post {i}", "body": "a few words in the body " * 3, "views": i,
             "authorId": f"u{i % 7}", "createdBy": "u1", "createdAt": 1700000000000 + i,
             "author": {"_id": f"u{i % 7}", "name": f"user {i % 7}"}} for i in range(n)]


def per_call(fn, budget=0.4):
    """Best mean seconds per call over a few timed rounds."""
    fn()
    calls = 1
    while True:
        start = time.perf_counter()
        for _ in range(calls):
            fn()
        if time.perf_counter() - start > budget / 10:
            break
        calls *= 2
    best = float("inf")
    for _ in range(5):
        start = time.perf_counter()
        for _ in range(calls):
            fn()
        best = min(best, (time.perf_counter() - start) / calls)
    return best


def rows():
    reg = registry()
    plan = reg.plan_query(LIST_QUERY, LIST_PARAMS, OWNER_CTX)
    assert plan["mode"] == "two_phase"
    plan_in_out = [LIST_PARAMS, OWNER_CTX, plan]
    yield ("plan_query (list, 2 relations, owner)",
           per_call(lambda: reg.plan_query(LIST_QUERY, LIST_PARAMS, OWNER_CTX)),
           per_call(lambda: reg.strip_dep_injected(None, plan_in_out)))

    items = fetched_posts(1000)
    post = reg.plan_query("Post { title views words author { name } }")["postprocess"]
    yield ("prepare_query (1000 docs, 1 fn compute)",
           per_call(lambda: reg.prepare_query(post, items)),
           per_call(lambda: reg.strip_dep_injected(None, items)))


def main():
    print("\nquery: planning and finalize, against the call's own conversion floor")
    print(f"{'case':44} {'per call':>12} {'floor':>12} {'x floor':>8}")
    for name, took, floor in rows():
        print(f"{name:44} {took * 1e6:10.1f}us {floor * 1e6:10.1f}us {took / floor:8.2f}")
    print("floor: strip_dep_injected over the same data (conversion in and out only)")


if __name__ == "__main__":
    main()
