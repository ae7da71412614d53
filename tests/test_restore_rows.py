"""restore_rows: flat rows back to nested documents."""
import pytest


def col(alias, path=None, **flags):
    return {"alias": alias, "path": path or [alias], **flags}


def many(alias, path, **flags):
    return col(alias, path, isArray=True, **flags)


def one(alias, path, **flags):
    return col(alias, path, isArray=True, one=True, **flags)


POSTS = {
    "columns": [col("_id"), col("title"), many("c_id", ["comments", "_id"]), many("c_text", ["comments", "text"]),
                one("a_id", ["author", "_id"]), one("a_name", ["author", "name"])],
    "present": "__present",
}


def post_row(pid, cid=None, text=None, aid=None, name=None, present=",_id,title,", title="t"):
    return {"_id": pid, "title": title, "c_id": cid, "c_text": text, "a_id": aid, "a_name": name,
            "__present": present}


def test_rows_of_one_parent_gather_into_relations(reg):
    rows = [post_row(1, 10, "first", 7, "ann"), post_row(2), post_row(1, 11, "second", 7, "ann"),
            post_row(1, 10, "first again", 7, "ann")]
    assert reg.restore_rows(POSTS, rows) == [
        {"_id": 1, "title": "t", "author": {"_id": 7, "name": "ann"},
         "comments": [{"_id": 10, "text": "first"}, {"_id": 11, "text": "second"}]},
        # No match on the LEFT JOIN: an empty array and a null document.
        {"_id": 2, "title": "t", "author": None, "comments": []},
    ]


def test_sub_documents_without_identity_stand_alone(reg):
    rows = [post_row(1, None, "a"), post_row(1, None, "a"), post_row(1, 5, "b")]
    assert reg.restore_rows(POSTS, rows)[0]["comments"] == [{"text": "a"}, {"text": "a"}, {"_id": 5, "text": "b"}]


@pytest.mark.parametrize("present,always,expected", [
    (",_id,title,nick,", False, {"_id": 1, "nick": None}),
    (",_id,title,", False, {"_id": 1}),
    (",_id,title,", True, {"_id": 1, "nick": None}),
    ("", False, {"_id": 1}),
    (None, False, {"_id": 1}),
    (5, False, {"_id": 1}),
])
def test_null_versus_absent(reg, present, always, expected):
    shape = {"columns": [col("_id"), col("nick", always=always)], "present": "__present"}
    assert reg.restore_rows(shape, [{"_id": 1, "nick": None, "__present": present}]) == [expected]


def test_presence_comes_from_the_first_row_of_a_group_and_the_top_level_only(reg):
    shape = {"columns": [col("_id"), col("m_a", ["meta", "a"]), many("k_n", ["kids", "n"])],
             "present": "__present"}
    rows = [{"_id": 1, "m_a": None, "k_n": 1, "__present": ",_id,a,"},
            {"_id": 1, "m_a": None, "k_n": None, "__present": ",_id,"}]
    # Nested paths are checked against their last name in the top-level list;
    # the intermediate object is made either way.
    assert reg.restore_rows(shape, rows) == [{"_id": 1, "meta": {"a": None}, "kids": [{"n": 1}]}]
    rows[0]["k_n"] = 2
    rows[1]["k_n"] = None
    rows[0]["__present"] = ",_id,"
    assert reg.restore_rows(shape, rows) == [{"_id": 1, "meta": {}, "kids": [{"n": 2}]}]


def test_nested_nulls_need_always(reg):
    shape = {"columns": [col("_id"), many("k_id", ["kids", "_id"]), many("k_n", ["kids", "n"]),
                         many("k_m", ["kids", "m"], always=True)]}
    rows = [{"_id": 1, "k_id": 9, "k_n": None, "k_m": None}]
    assert reg.restore_rows(shape, rows) == [{"_id": 1, "kids": [{"_id": 9, "m": None}]}]


@pytest.mark.parametrize("stored,restored", [
    (1, True), (1.0, True), ("1", True), ("1.0", True), ("+1", True), ("1e0", True),
    (0, False), (0.0, False), ("0", False), ("-0.0", False),
    (2, 2), ("2", "2"), ("yes", "yes"), ("", ""), (" 1", " 1"), (True, True), (False, False),
])
def test_numeric_booleans(reg, stored, restored):
    shape = {"columns": [col("_id"), col("ok", bool=True)]}
    out = reg.restore_rows(shape, [{"_id": 1, "ok": stored}])[0]["ok"]
    assert out == restored and type(out) is type(restored)


def test_booleans_inside_relations(reg):
    shape = {"columns": [col("_id"), many("k_id", ["kids", "_id"]), many("k_ok", ["kids", "ok"], bool=True)]}
    rows = [{"_id": 1, "k_id": 1, "k_ok": 1}, {"_id": 1, "k_id": 2, "k_ok": "0"}]
    assert reg.restore_rows(shape, rows)[0]["kids"] == [{"_id": 1, "ok": True}, {"_id": 2, "ok": False}]


def test_dotted_paths_nest_and_never_overwrite_a_scalar(reg):
    shape = {"columns": [col("_id"), col("m", ["meta"]), col("m_a", ["meta", "a"]), col("x_y", ["x", "y"]),
                         col("x_z", ["x", "z"])]}
    rows = [{"_id": 1, "m": 5, "m_a": 1, "x_y": 2, "x_z": 3}]
    assert reg.restore_rows(shape, rows) == [{"_id": 1, "meta": 5, "x": {"y": 2, "z": 3}}]
    # An object already written by a column takes deeper values inside it.
    rows = [{"_id": 1, "m": {"b": 0}, "m_a": 1, "x_y": 2, "x_z": 3}]
    assert reg.restore_rows(shape, rows)[0]["meta"] == {"a": 1, "b": 0}


def test_rows_without_identity(reg):
    shape = {"columns": [col("n")]}
    assert reg.restore_rows(shape, [{"n": 1}, {"n": 1}]) == [{"n": 1}, {"n": 1}]
    # A row that lacks the identity never joins a document whose _id equals its position.
    shape = {"columns": [col("_id"), col("n")]}
    assert reg.restore_rows(shape, [{"_id": 1, "n": "a"}, {"n": "b"}, {"_id": 1, "n": "c"}]) == [
        {"_id": 1, "n": "a"}, {"n": "b"}]


def test_identity_is_json_equality(reg):
    shape = {"columns": [col("_id"), many("k", ["kids", "v"])]}
    rows = [{"_id": 1, "k": "a"}, {"_id": 1.0, "k": "b"}, {"_id": True, "k": "c"}, {"_id": "1", "k": "d"},
            {"_id": None, "k": "e"}, {"_id": None, "k": "f"}, {"_id": 1, "k": "g"}]
    assert [d["kids"] for d in reg.restore_rows(shape, rows)] == [
        [{"v": "a"}, {"v": "g"}], [{"v": "b"}], [{"v": "c"}], [{"v": "d"}], [{"v": "e"}, {"v": "f"}]]


def test_two_levels_of_relations(reg):
    shape = {"columns": [col("_id"), many("p_id", ["posts", "_id"]),
                         many("c_id", ["posts", "comments", "_id"], ones=[False, False]),
                         many("a_n", ["posts", "author", "name"], ones=[False, True])]}
    rows = [{"_id": 1, "p_id": 5, "c_id": 50, "a_n": "ann"}, {"_id": 1, "p_id": 5, "c_id": 51, "a_n": "ann"},
            {"_id": 1, "p_id": 6, "c_id": None, "a_n": None}]
    assert reg.restore_rows(shape, rows) == [{"_id": 1, "posts": [
        {"_id": 5, "author": {"name": "ann"}, "comments": [{"_id": 50}, {"_id": 51}]},
        {"_id": 6, "author": None, "comments": []}]}]


def test_values_come_back_as_the_conversion_would_give_them(reg):
    shape = {"columns": [col("_id"), col("v")]}
    cases = [(float("nan"), None), ((1, 2), [1, 2]), ({"b": 1, "a": 2}, {"a": 2, "b": 1}), (2**64 - 1, 2**64 - 1),
             (2**70, float(2**70)), ("é", "é"), (-5, -5)]
    docs = reg.restore_rows(shape, [{"_id": i, "v": v} for i, (v, _) in enumerate(cases)])
    assert [d["v"] for d in docs] == [want for _, want in cases]
    assert list(docs[2]["v"]) == ["a", "b"]


def test_shape_reading(reg):
    # "ones" missing: [one] for array columns, nothing otherwise.
    shape = {"columns": [col("_id"), {"alias": "k", "path": ["kids", "n"], "isArray": True, "one": True}]}
    assert reg.restore_rows(shape, [{"_id": 1, "k": 3}]) == [{"_id": 1, "kids": {"n": 3}}]
    # Flags count only when they are true itself; a non-array path is empty.
    shape = {"columns": [col("_id"), col("x", isArray=1), {"alias": "y", "path": "y"}], "present": 7}
    assert reg.restore_rows(shape, [{"_id": 1, "x": 1, "y": 2}]) == [{"_id": 1, "x": 1}]


@pytest.mark.parametrize("shape,message", [
    ({}, "rowShape 缺少 columns"),
    ({"columns": {}}, "rowShape 缺少 columns"),
    ({"columns": [{"path": ["a"]}]}, "列缺 alias"),
    ({"columns": [{"alias": "a", "subShape": {"columns": [{"alias": 1}]}}]}, "列缺 alias"),
    (None, "rowShape 缺少 columns"),
])
def test_bad_shapes(reg, shape, message):
    with pytest.raises(RuntimeError) as exc:
        reg.restore_rows(shape, [])
    assert exc.value.args == (message,)


@pytest.mark.parametrize("rows", [None, "abc", {"_id": 1}, 5])
def test_rows_that_are_not_a_list_give_nothing(reg, rows):
    assert reg.restore_rows(POSTS, rows) == []


def test_rows_that_are_not_objects(reg):
    assert reg.restore_rows(POSTS, [1, [2], None]) == [{"author": None, "comments": []}] * 3
    with pytest.raises(TypeError):
        reg.restore_rows(POSTS, [object()])
    with pytest.raises(TypeError):
        reg.restore_rows({"columns": [col("v")]}, [{"v": {1, 2}}])


class FailingKey:
    """A dict key that collides with a column alias and cannot be compared."""

    def __init__(self, name):
        self.name = name

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        raise ValueError(f"cannot compare {self.name}")


def test_an_error_while_reading_a_row_is_raised_as_it_is(reg):
    # No further Python code may run once a lookup failed, or the error
    # would surface as a SystemError about a result with an exception set.
    shape = {"columns": [col("_id"), col("name"), col("x")], "present": "__present"}
    rows = [{"_id": 1, FailingKey("name"): 2, FailingKey("x"): 3, FailingKey("__present"): 4}]
    with pytest.raises(ValueError, match="cannot compare"):
        reg.restore_rows(shape, rows)
    with pytest.raises(ValueError, match="cannot compare _id"):
        reg.restore_rows(shape, [{FailingKey("_id"): 1}])


def test_the_callers_rows_are_left_alone(reg):
    rows = [post_row(1, 10, "x", 7, "ann", present=",_id,"), post_row(1, 11, "y", 7, "ann")]
    before = [dict(r) for r in rows]
    reg.restore_rows(POSTS, rows)
    assert rows == before


def test_a_shape_from_a_translation_restores_its_rows(reg):
    reg.register({"name": "U", "timestamps": False, "fields": {"n": "string", "ok": "bool"}})
    stmt = reg.dialect_translate("sqlite", {"kind": "find", "collection": "U"})["stmt"][0]
    rows = [{"_id": "a", "n": None, "ok": 1, "__present": ",_id,n,ok,"},
            {"_id": "b", "n": None, "ok": None, "__present": ",_id,"}]
    assert reg.restore_rows(stmt["rowShape"], rows) == [{"_id": "a", "n": None, "ok": True}, {"_id": "b"}]


def test_overlong_paths_are_refused(reg):
    shape = {"columns": [{"alias": "x", "path": ["p"] * 5000, "isArray": True}]}
    with pytest.raises(RuntimeError, match="path"):
        reg.restore_rows(shape, [{"x": 1}])


def test_documents_with_many_different_member_sets_keep_their_own_keys(reg):
    # Which members a document has depends on its presence list; more sets of
    # members than any cache of them holds must each come back exact.
    names = [f"m{i}" for i in range(12)]
    shape = {"columns": [col("_id"), *(col(n) for n in names)], "present": "__present"}
    rows, expected = [], []
    for i in range(40):
        listed = names[: i % 12] if i % 2 else names[i % 12:]
        rows.append({"_id": i, **{n: None for n in names}, "__present": "," + ",".join(listed) + ","})
        expected.append({"_id": i, **{n: None for n in sorted(listed)}})
    out = reg.restore_rows(shape, rows)
    assert [list(d.items()) for d in out] == [list(d.items()) for d in expected]
    out[0]["m0"] = 1
    assert out[24] == expected[24]
