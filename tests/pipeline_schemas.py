"""Schemas shared by the query-language and pipeline tests."""

import quorvel_py

USER = {
    "name": "User",
    "collection": "users",
    "fields": {
        "name": "string",
        "email": "string",
        "age": "int",
        "status": "string",
        "secret": {"type": "string", "read": ["admin"]},
        "tags": "array",
        "meta": {"type": "object", "fields": {"a": "string", "b": "int"}},
        "blob": "object",
    },
    "relations": {
        "posts": {"model": "Post", "foreignField": "authorId"},
        "orders": {"model": "Order", "foreignField": "customerId"},
    },
    "computes": {
        "postCount": {"agg": {"$count": "posts"}},
        "likeSum": {"agg": {"$sum": "posts.likes"}},
        "likeAvg": {"agg": {"$avg": "posts.likes"}},
        "likeMin": {"agg": {"$min": "posts.likes"}},
        "likeMax": {"agg": {"$max": "posts.likes"}},
        "draftMax": {"agg": {"$max": "posts.draft"}},
        "adminCount": {"agg": {"$count": "posts"}, "read": ["admin"]},
        "display": {"fn": True, "depends": ["name", " meta {a}"]},
    },
}

POST = {
    "name": "Post",
    "collection": "posts",
    "fields": {
        "title": "string",
        "body": "string",
        "likes": "int",
        "published": "boolean",
        "authorId": "string",
        "draft": {"type": "string", "read": ["editor"]},
        "labels": "array",
        "extra": "object",
        "tagIds": "array",
    },
    "relations": {
        "author": {"model": "User", "type": "one", "localField": "authorId", "foreignField": "_id"},
        "comments": {"model": "Comment", "foreignField": "postId", "read": ["editor"]},
        "tagged": {"model": "Tag", "localField": "tagIds", "foreignField": "_id"},
    },
    "computes": {
        "wordCount": {"fn": True, "depends": ["body"]},
        "summary": {"asyncFn": True, "depends": ["title", "author{name}"]},
        "commentCount": {"agg": {"$count": "comments"}},
    },
}

COMMENT = {
    "name": "Comment",
    "collection": "comments",
    "read": ["creator"],
    "fields": {"body": "string", "postId": "string", "likes": "int"},
    "relations": {"post": {"model": "Post", "type": "one", "localField": "postId", "foreignField": "_id"}},
}

TAG = {
    "name": "Tag",
    "collection": "tags",
    "fields": {"label": "string"},
    "relations": {"ghost": {"model": "Ghost"}},
}

ORDER = {
    "name": "Order",
    "collection": "orders",
    "fields": {
        "status": "string",
        "amount": "int",
        "customerId": "string",
        "owner": {"type": "object", "fields": {"city": "string"}},
        "items": "array",
        "hidden": {"type": "int", "read": ["admin"]},
    },
    "relations": {"customer": {"model": "User", "type": "one", "localField": "customerId", "foreignField": "_id"}},
}

SCHEMAS = [USER, POST, COMMENT, TAG, ORDER]


def make_registry():
    reg = quorvel_py.Registry()
    for schema in SCHEMAS:
        reg.register(schema)
    return reg


# Shapes the lookup builder produces, for readable expectations.
def join(foreign, var, op="$eq"):
    return {"$expr": {op: ["$" + foreign, "$$" + var]}}


def let_of(local):
    return {"$ifNull": ["$" + local, None]}


def lookup(as_, frm, var, let, pipeline):
    return {"$lookup": {"as": as_, "from": frm, "let": {var: let}, "pipeline": pipeline}}


def unwind(name):
    return {"$unwind": {"path": "$" + name, "preserveNullAndEmptyArrays": True}}
