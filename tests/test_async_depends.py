import pytest

import quorvel_py

USER = {"name": "User", "fields": {"name": "string"}}


def registry(computes, extra_relations=None):
    r = quorvel_py.Registry()
    r.register(USER)
    r.register({
        "name": "Post",
        "fields": {"title": "string", "score": "int"},
        "relations": {"author": {"model": "User", "type": "one"}, "comments": {"model": "User"},
                      **(extra_relations or {})},
        "computes": computes,
    })
    return r


def inject(computes, gql):
    return registry(computes).inject_depends(gql)


def relations_of(result):
    return result["ast"]["relations"]


def test_without_async_computes_nothing_is_injected():
    out = inject({"sync": {"fn": True, "depends": ["author"]}}, "Post { title }")
    assert out == {
        "ast": {"fields": ["title"], "model": "Post", "params": {}, "relations": {}},
        "injectInfo": {"inject": {}},
        "relDeps": [],
    }


@pytest.mark.parametrize(
    "depends, gql, rel_deps, record, author",
    [
        # a relation the query does not select is added whole
        (["author"], "Post { title }", [{"fields": [], "name": "author"}],
         {"relations": {"author": "__all__"}}, {"fields": [], "params": {}, "relations": {}}),
        (["author { name avatar }"], "Post { title }", [{"fields": ["name", "avatar"], "name": "author"}],
         {"relations": {"author": "__all__"}}, {"fields": ["name", "avatar"], "params": {}, "relations": {}}),
        # missing fields are added to a selected relation
        (["author { name avatar }"], "Post { author($limit: @n) { name } }",
         [{"fields": ["name", "avatar"], "name": "author"}], {"relations": {"author": ["avatar"]}},
         {"fields": ["name", "avatar"], "params": {"limit": "@n"}, "relations": {}}),
        (["author { name }"], "Post { author { name } }", [{"fields": ["name"], "name": "author"}], {},
         {"fields": ["name"], "params": {}, "relations": {}}),
        # nothing but the relation itself: blanks, "_id", and an "_id"-only selection
        ([" _id ", "", "author { _id }"], "Post { title }", [{"fields": [], "name": "author"}],
         {"relations": {"author": "__all__"}}, {"fields": [], "params": {}, "relations": {}}),
        # root fields and unknown models are not injected here
        (["score", "nobody { x }", "comments"], "Post { title }", [{"fields": [], "name": "comments"}],
         {"relations": {"comments": "__all__"}}, None),
    ],
)
def test_relation_dependencies_are_injected(depends, gql, rel_deps, record, author):
    out = inject({"summary": {"asyncFn": True, "depends": depends}}, gql)
    assert out["relDeps"] == rel_deps
    assert out["injectInfo"] == {"inject": record}
    assert relations_of(out).get("author") == author
    assert "score" not in out["ast"]["fields"]


def test_dependencies_of_several_computes_share_one_relation_entry():
    out = inject({
        "a": {"asyncFn": True, "depends": ["author { name }", "comments"]},
        "b": {"asyncFn": True, "depends": ["author { bio name }"]},
        "c": {"fn": True, "depends": ["author { ignored }"]},
    }, "Post { comments { x } }")
    assert out["relDeps"] == [{"fields": ["name", "bio"], "name": "author"}, {"fields": [], "name": "comments"}]
    # comments was selected and nothing had to be added to it
    assert out["injectInfo"] == {"inject": {"relations": {"author": "__all__"}}}


def test_bad_dependency_text_fails_with_the_parser_message():
    with pytest.raises(RuntimeError) as err:
        inject({"summary": {"asyncFn": True, "depends": ["author { name "]}}, "Post")
    assert err.value.args == ("期望 p(}) 但已到达末尾",)


def test_round_trip_inject_then_strip():
    out = inject({"summary": {"asyncFn": True, "depends": ["author { name avatar }", "comments"]}},
                 "Post { title author { name } }")
    fetched = [
        {"_id": 1, "title": "t", "author": {"name": "a", "avatar": "img"}, "comments": [{"x": 1}], "summary": "s"},
        {"_id": 2, "title": "u", "author": [{"name": "b", "avatar": "i2"}, 7], "comments": None},
    ]
    stripped = quorvel_py.Registry().strip_dep_injected(out["injectInfo"], fetched)["items"]
    assert stripped == [
        {"_id": 1, "title": "t", "author": {"name": "a"}, "summary": "s"},
        {"_id": 2, "title": "u", "author": [{"name": "b"}, 7]},
    ]


def test_async_fn_refs_in_compute_order_filtered_by_read_rules():
    reg = registry({
        "zeta": {"asyncFn": True},
        "alpha": {"asyncFn": True, "fnRef": "alpha_fn", "read": ["editor"]},
        "both": {"asyncFn": True, "fn": True},
        "plain": {"fn": True},
    })
    assert reg.async_fn_refs("Post") == ["alpha_fn", "both", "zeta"]
    assert reg.async_fn_refs("Post", {"roles": ["viewer"]}) == ["both", "zeta"]
    assert reg.async_fn_refs("Post", ctx={"roles": ["editor"]}) == ["alpha_fn", "both", "zeta"]
    assert reg.async_fn_refs("User") == []
    with pytest.raises(RuntimeError, match="^Schema 未注册: Nope$"):
        reg.async_fn_refs("Nope")
