"""Conversion round trip and federated merge, each against the natural baseline."""
import json
import random

import quorvel_py

from common import best_time, print_table


def make_docs(n, seed=1):
    rnd = random.Random(seed)
    docs = []
    for i in range(n):
        docs.append({
            "_id": f"doc{i:06d}", "title": f"title {i}", "views": rnd.randint(0, 10**6),
            "score": rnd.random() * 100, "published": rnd.random() < 0.5, "deleted": None,
            "tags": ["a", "b", f"t{i % 17}"], "author": {"name": "ann", "age": 33},
            "createdAt": 1_700_000_000_000 + i, "updatedAt": 1_700_000_000_500 + i,
            "ratio": -rnd.random(), "slug": f"slug-{i}", "lang": "en", "words": rnd.randint(10, 5000),
            "rank": i, "flag": False, "note": "", "nested": {"x": [1, 2.5, "z"]},
            "cost": rnd.randint(-1000, 1000), "extra": "é ü ✓",
        })
    return docs


def conversion_round_trip():
    import orjson

    reg = quorvel_py.Registry()
    docs = make_docs(10_000)
    plan = {"sources": [{"key": "root"}]}
    ours = best_time(lambda: reg.merge_federated(plan, [docs]))
    base = best_time(lambda: orjson.loads(orjson.dumps(docs)))
    return ("round trip, 10000 docs x 20 values", ours, "orjson dumps+loads", base)


def core_value_round_trip():
    """The general conversion into core values and back, which every other method pays."""
    import orjson

    reg = quorvel_py.Registry()
    docs = make_docs(10_000)
    ours = best_time(lambda: reg.strip_dep_injected(None, docs))
    base = best_time(lambda: orjson.loads(orjson.dumps(docs)))
    return ("  same, through core values (strip_dep_injected)", ours, "orjson dumps+loads", base)


def python_join(root, users, comments):
    by_id = {}
    for u in users:
        by_id.setdefault(key_of(u.get("_id")), []).append(u)
    by_post = {}
    for c in comments:
        by_post.setdefault(key_of(c.get("postId")), []).append(c)
    out = []
    for doc in root:
        doc = dict(doc)
        match = by_id.get(key_of(doc.get("authorId")))
        doc["author"] = dict(match[0]) if match else None
        doc["comments"] = [dict(c) for c in by_post.get(key_of(doc.get("_id")), [])]
        out.append(doc)
    return out


def key_of(v):
    # The identity-key rules as a user would write them: strings as they are,
    # {"$oid": s} as s, scalars in their JSON text, containers as compact JSON.
    if isinstance(v, str):
        return v
    if v is None:
        return "null"
    if isinstance(v, bool):
        return "true" if v else "false"
    if isinstance(v, int):
        return str(v)
    if isinstance(v, float):
        return repr(v)
    if isinstance(v, dict) and isinstance(v.get("$oid"), str):
        return v["$oid"]
    return json.dumps(v, sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def federated_join():
    rnd = random.Random(2)
    root = [{"_id": i, "authorId": rnd.randint(0, 999), "title": f"p{i}"} for i in range(10_000)]
    users = [{"_id": i, "name": f"user{i}"} for i in range(1_000)]
    comments = [{"_id": i, "postId": rnd.randint(0, 9_999), "text": f"c{i}"} for i in range(100_000 - 1_000)]
    plan = {
        "sources": [{"key": "posts"}, {"key": "users"}, {"key": "comments"}],
        "join": {"edges": [
            {"rel": "author", "cardinality": "one", "local": "authorId", "foreign": "_id", "key": "users"},
            {"rel": "comments", "cardinality": "many", "local": "_id", "foreign": "postId", "key": "comments"},
        ]},
    }
    reg = quorvel_py.Registry()
    assert reg.merge_federated(plan, [root, users, comments]) == python_join(root, users, comments)
    ours = best_time(lambda: reg.merge_federated(plan, [root, users, comments]), repeat=3)
    base = best_time(lambda: python_join(root, users, comments), repeat=3)
    return ("join 10000 roots to 100000 (one + many edge)", ours, "plain-Python dict join", base)


def main():
    print_table("core: conversion and federated merge", [conversion_round_trip(), core_value_round_trip(), federated_join()])


if __name__ == "__main__":
    main()
