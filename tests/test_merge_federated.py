import math

import pytest


def plan(units, edges=None):
    p = {"sources": [{"key": k} for k in units]}
    if edges is not None:
        p["join"] = {"edges": edges}
    return p


def edge(rel, key, local, foreign, cardinality="many", path=None):
    e = {"rel": rel, "key": key, "local": local, "foreign": foreign, "cardinality": cardinality}
    if path is not None:
        e["path"] = path
    return e


def test_one_unit_returns_a_copy(reg):
    docs = [{"_id": 1, "n": "a"}]
    out = reg.merge_federated(plan(["root"]), [docs])
    assert out == docs and out[0] is not docs[0]


def test_no_units_gives_empty(reg):
    assert reg.merge_federated({"sources": []}, []) == []


def test_one_and_many_edges_match_by_identity_key(reg):
    posts = [{"_id": 1, "authorId": 7}, {"_id": 2, "authorId": {"$oid": "u9"}}, {"_id": 3}]
    users = [{"_id": "7", "name": "ann"}, {"_id": "u9", "name": "bo"}]
    comments = [{"postId": 1, "t": "x"}, {"postId": 2, "t": "y"}, {"postId": 1, "t": "z"}, {"t": "orphan"}]
    out = reg.merge_federated(
        plan(["posts", "users", "comments"],
             [edge("author", "users", "authorId", "_id", "one"), edge("comments", "comments", "_id", "postId")]),
        [posts, users, comments],
    )
    assert [d.get("author") for d in out] == [users[0], users[1], None]
    assert [[c["t"] for c in d["comments"]] for d in out] == [["x", "z"], ["y"], []]


def test_missing_local_member_matches_missing_foreign_member(reg):
    out = reg.merge_federated(
        plan(["a", "b"], [edge("r", "b", "ref", "id")]), [[{"x": 1}], [{"y": 1}, {"id": None, "y": 2}, {"id": 3}]]
    )
    assert out == [{"r": [{"y": 1}, {"id": None, "y": 2}], "x": 1}]


def test_path_descends_into_arrays_and_attached_documents(reg):
    root = [{"_id": 1, "author": [{"uid": 5}, {"uid": 6}]}, {"_id": 2, "author": None}, {"_id": 3}]
    profiles = [{"uid": 5, "bio": "five"}]
    out = reg.merge_federated(
        plan(["root", "p"], [edge("profile", "p", "uid", "uid", "one", path=["author"])]), [root, profiles]
    )
    assert out[0]["author"] == [{"profile": {"bio": "five", "uid": 5}, "uid": 5}, {"profile": None, "uid": 6}]
    assert out[1] == {"_id": 2, "author": None} and out[2] == {"_id": 3}


def test_chained_edges_extend_attached_copies(reg):
    posts = [{"_id": 1, "authorId": 7}]
    users = [{"_id": 7, "teamId": 3}]
    teams = [{"_id": 3, "name": "core"}]
    out = reg.merge_federated(
        plan(["posts", "users", "teams"],
             [edge("author", "users", "authorId", "_id", "one"),
              edge("team", "teams", "teamId", "_id", "one", path=["author"])]),
        [posts, users, teams],
    )
    assert out[0]["author"]["team"] == {"_id": 3, "name": "core"}
    assert users == [{"_id": 7, "teamId": 3}]  # the host's input is untouched


def test_edge_may_read_the_root_unit(reg):
    docs = [{"_id": 1, "parent": None}, {"_id": 2, "parent": 1}]
    out = reg.merge_federated(plan(["n"], [edge("children", "n", "_id", "parent")]), [docs])
    assert out[0]["children"] == [{"_id": 2, "parent": 1}]
    assert "children" not in out[0]["children"][0]


def test_unit_limit_is_inclusive(reg):
    rows = [{}] * 100_000
    assert len(reg.merge_federated(plan(["a", "b"]), [[], rows])) == 0
    with pytest.raises(RuntimeError) as err:
        reg.merge_federated(plan(["a", "b"]), [[], rows + [{}]])
    assert str(err.value) == "第 1 个取数单元返回 100001 行，超过联邦内存 join 上限 100000（拒绝静默全表拉取）"


@pytest.mark.parametrize(
    "p, results, message",
    [
        ({}, [], "联邦计划缺少 sources"),
        ({"sources": {}}, [], "联邦计划缺少 sources"),
        (plan(["a", "b", "c"]), [[], []], "联邦结果数与取数单元数不一致: results = 2, sources = 3"),
        (plan(["a"]), "x", "联邦结果数与取数单元数不一致: results = 0, sources = 1"),
        (plan(["a", "b"]), [[], {}], "第 1 个取数单元的结果必须是数组"),
        (plan(["a", "b"], [{"rel": "r", "key": "b"}]), [[], []], "非法 join 边：缺少 rel / cardinality"),
        (plan(["a", "b"], [{"rel": "", "cardinality": "one"}]), [[], []], "非法 join 边：缺少 rel / cardinality"),
        (plan(["a", "b"], [edge("r", "zz", "x", "y")]), [[], []], "join 边引用了不存在的取数单元 key: zz"),
    ],
)
def test_errors(reg, p, results, message):
    with pytest.raises(RuntimeError) as err:
        reg.merge_federated(p, results)
    assert str(err.value) == message


def test_later_unit_with_same_key_wins(reg):
    p = {"sources": [{"key": "root"}, {"key": "u"}, {"key": "u"}], "join": {"edges": [edge("r", "u", "k", "k", "one")]}}
    out = reg.merge_federated(p, [[{"k": 1}], [{"k": 1, "v": "first"}], [{"k": 1, "v": "second"}]])
    assert out[0]["r"]["v"] == "second"


def test_unit_read_by_several_edges_serves_each(reg):
    posts = [{"_id": 1, "authorId": 7, "editorId": 7}, {"_id": 2, "authorId": 7, "editorId": 8}]
    users = [{"_id": 7, "n": "ann"}, {"_id": 8, "n": "bo"}]
    out = reg.merge_federated(
        plan(["posts", "users"],
             [edge("author", "users", "authorId", "_id", "one"), edge("editor", "users", "editorId", "_id", "one"),
              edge("fans", "users", "_id", "_id", path=["author"])]),
        [posts, users],
    )
    assert [(d["author"]["n"], d["editor"]["n"]) for d in out] == [("ann", "ann"), ("ann", "bo")]
    assert [d["author"]["fans"] for d in out] == [[users[0]], [users[0]]]


class Doc(dict):
    """Converts exactly like a dict, but takes the general conversion path."""


SAME_ON_EVERY_PATH = [
    ("keys out of byte order", [{"k": 1, "b": 1, "a": 2, "é": 3, "B": 4}], [{"k": 1, "y": 1, "x": 2}]),
    ("numeric forms", [{"k": 1, "big": 2**64, "low": -(2**63) - 1, "top": 2**64 - 1, "nan": float("nan"),
                        "inf": -math.inf, "t": (1, [2.5, True])}],
     [{"k": 1, "f": 1e300, "z": -0.0, "n": float("inf")}]),
    ("attached rows holding containers", [{"k": 1}], [{"k": 1, "n": {"b": [1, {"d": 1, "c": (2,)}], "a": None}}]),
    ("an attached member replaces one of the same name", [{"k": 1, "one": "old", "many": [1]}], [{"k": 1}]),
    ("keys of every kind", [{"k": 2**64}, {"k": "7"}, {"k": {"$oid": "x"}}, {"k": [1, "a"]}, {"k": None}, {}],
     [{"k": 2**64}, {"k": 7}, {"k": "x"}, {"k": [1, "a"]}, {"k": 18446744073709551616.0}, 5, {"k": True}]),
]


@pytest.mark.parametrize("what, root, unit", SAME_ON_EVERY_PATH, ids=[c[0] for c in SAME_ON_EVERY_PATH])
def test_host_documents_merge_as_their_converted_values_do(reg, what, root, unit):
    p = plan(["root", "u"], [edge("many", "u", "k", "k"), edge("one", "u", "k", "k", "one")])
    direct = reg.merge_federated(p, [root, unit])
    general = reg.merge_federated(p, [[Doc(d) if isinstance(d, dict) else d for d in root], unit])
    # repr shows key order and the int / float forms, which == would not.
    assert repr(direct) == repr(general)


def test_attached_copies_are_independent(reg):
    root = [{"k": 1}, {"k": 1}]
    unit = [{"k": 1, "tags": ["a"], "n": "x"}]
    out = reg.merge_federated(plan(["root", "u"], [edge("one", "u", "k", "k", "one"), edge("many", "u", "k", "k")]),
                              [root, unit])
    copies = [out[0]["one"], out[1]["one"], out[0]["many"][0], out[1]["many"][0]]
    assert all(c == unit[0] and c is not unit[0] for c in copies)
    assert len({id(c) for c in copies}) == 4 and len({id(c["tags"]) for c in copies}) == 4
    out[0]["one"]["tags"].append("b")
    assert unit[0]["tags"] == ["a"] and out[1]["one"]["tags"] == ["a"]


def test_conversion_errors_come_before_plan_errors(reg):
    with pytest.raises(TypeError):
        reg.merge_federated({}, [[{"k": object()}]])
    with pytest.raises(UnicodeEncodeError):
        reg.merge_federated({}, [[{"k": 1}], [{"\ud800": 1}]])


def test_rows_that_are_not_documents_attach_as_they_are(reg):
    # Without the member a row is keyed as null, so parents without it receive such rows too.
    unit = [5, "x", None, [1, {"b": 1, "a": 2}], (3,), {"k": None}] * 20
    out = reg.merge_federated(plan(["root", "u"], [edge("r", "u", "k", "k")]), [[{"n": 1}], unit])
    assert out[0]["r"] == [5, "x", None, [1, {"a": 2, "b": 1}], [3], {"k": None}] * 20
