import pytest

from pipeline_schemas import make_registry


@pytest.fixture(scope="module")
def reg():
    return make_registry()


def level(fields=(), params=None, relations=None):
    return {"fields": list(fields), "params": params or {}, "relations": relations or {}}


def root(model, fields=(), params=None, relations=None):
    return dict(level(fields, params, relations), model=model)


def test_tokens_of_every_kind(reg):
    out = reg.build_pipeline("User($limit:@n){a.b}")
    assert out["tokens"] == [
        {"t": "id", "v": "User"}, {"t": "p", "v": "("}, {"t": "id", "v": "$limit"}, {"t": "p", "v": ":"},
        {"t": "ref", "v": "@n"}, {"t": "p", "v": ")"}, {"t": "p", "v": "{"}, {"t": "id", "v": "a.b"},
        {"t": "p", "v": "}"},
    ]


def test_skipped_characters_and_references(reg):
    # Digits, "-", quotes, brackets, "#" and non-ASCII letters are no token.
    # A reference stops at "-"; "@" alone is a reference too.
    out = reg.build_pipeline('12 -"[#]" User(c: @x-, d: @, e: ü_9)')
    assert [t["v"] for t in out["tokens"]] == ["User", "(", "c", ":", "@x", ",", "d", ":", "@", ",", "e", ":", "_9", ")"]
    assert out["ast"]["params"] == {"c": "@x", "d": "@", "e": "_9"}


@pytest.mark.parametrize("gql, ast", [
    ("123 User", root("User")),
    ("User", root("User")),
    ("User {}", root("User")),
    ("User { b a b }", root("User", ["b", "a", "b"])),
    ("User { name, , email ,}", root("User", ["name", "email"])),
    ("User { name } trailing junk", root("User", ["name"])),
    ("User($limit: @n $skip: @s)", root("User", params={"limit": "@n", "skip": "@s"})),
    ("User($$limit: @a, limit: @b, $x: y)", root("User", params={"limit": "@b", "x": "y"})),
    ("User(limit: ,)", root("User")),
    ("User { orders {} posts($limit: @k) { title author { name } } }",
     root("User", relations={
         "orders": level(),
         "posts": level(["title"], {"limit": "@k"}, {"author": level(["name"])}),
     })),
    # The tree as parsed: the object-field selection is still a relation here.
    ("User { meta { a } }", root("User", relations={"meta": level(["a"])})),
    # Of two relations of the same name the JSON form keeps the later one.
    ("User { posts { title } posts { body } }", root("User", relations={"posts": level(["body"])})),
])
def test_tree_json(reg, gql, ast):
    assert reg.build_pipeline(gql)["ast"] == ast


@pytest.mark.parametrize("gql, message", [
    ("", "期望 id(undefined) 但已到达末尾"),
    ("   ", "期望 id(undefined) 但已到达末尾"),
    ("{ x }", "期望 id(undefined) 实际 p({) 位置 0"),
    ("User($limit: 5)", "期望 id(undefined) 但已到达末尾"),
    ("User(limit @n)", "期望 p(:) 实际 ref(@n) 位置 3"),
    ("User { name ", "期望 p(}) 但已到达末尾"),
    ("User { posts { title }", "期望 p(}) 但已到达末尾"),
    ("User { (x) }", "期望 id(undefined) 实际 p(() 位置 2"),
    ("User { @x }", "期望 id(undefined) 实际 ref(@x) 位置 2"),
    ("User($pipeline: @p)", "$pipeline 直通已移除：请改用标准 GQL（$condition/$sort/$skip/$limit + 关系字段）"),
    ("User(pipeline: @p)", "$pipeline 直通已移除：请改用标准 GQL（$condition/$sort/$skip/$limit + 关系字段）"),
    ("User { posts($$pipeline: @p) { title } }",
     "$pipeline 直通已移除：请改用标准 GQL（$condition/$sort/$skip/$limit + 关系字段）"),
    # A non-ASCII letter ends the identifier: the model is "ser".
    ("Üser", "Schema 未注册: ser"),
])
def test_parse_failures(reg, gql, message):
    with pytest.raises(RuntimeError) as e:
        reg.build_pipeline(gql)
    assert e.value.args == (message,)


def test_deep_selection_is_refused_not_crashing(reg):
    depth = 100000
    with pytest.raises(RuntimeError, match="选择集嵌套超过 3000 层"):
        reg.build_pipeline("User" + " { a" * depth + " }" * depth)
