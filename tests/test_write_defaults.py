import pytest

import quorvel_py

ADDRESS = {
    "type": "object",
    "fields": {
        "city": "string",
        "zip": {"type": "string", "default": "000"},
        "geo": {"type": "object", "fields": {"lat": {"type": "double"}, "tag": {"type": 3}}},
    },
}

ITEM = {
    "name": "Item",
    "fields": {
        "qty": "int",
        "price": {"type": "double"},
        "status": {"type": "string", "default": "new"},
        "flags": "array",
        "note": "date",  # a type without a default
        "address": ADDRESS,
    },
}


@pytest.fixture
def reg():
    r = quorvel_py.Registry()
    r.register(ITEM)
    return r


@pytest.mark.parametrize(
    "doc, expected",
    [
        (
            {"_id": 1},
            {"_id": 1, "qty": 0, "price": 0, "status": "new", "flags": [],
             "address": {"city": "", "zip": "000", "geo": {"lat": 0}}},
        ),
        # present values stay, null ones are filled, nested objects are completed
        (
            {"qty": 5, "status": None, "note": None, "address": {"city": "x", "geo": None}},
            {"qty": 5, "price": 0, "status": "new", "flags": [], "note": None,
             "address": {"city": "x", "zip": "000", "geo": {"lat": 0}}},
        ),
        # a non-object nested member is left alone
        ({"address": "somewhere"}, {"qty": 0, "price": 0, "status": "new", "flags": [], "address": "somewhere"}),
    ],
)
def test_write_path_fills_declared_and_nested_defaults(reg, doc, expected):
    out = reg.apply_write_defaults("Item", doc)
    assert out == expected
    assert type(out["price"]) is int  # a "double" field defaults to the integer 0
    # the timestamp fields are of type "number", which has no implicit default
    assert "createdAt" not in out


@pytest.mark.parametrize("doc", ["text", [1, {"qty": None}], None, 3])
def test_non_object_documents_come_back_unchanged(reg, doc):
    assert reg.apply_write_defaults("Item", doc) == doc


def test_unknown_model(reg):
    with pytest.raises(RuntimeError, match="^Schema 未注册: Nope$"):
        reg.apply_write_defaults("Nope", {})


@pytest.fixture
def computed():
    r = quorvel_py.Registry()
    r.register({
        "name": "Line",
        "timestamps": False,
        "fields": {"price": "int", "qty": {"type": "int", "default": 2}},
        "computes": {
            "total": {"type": "int", "fn": True, "fnRef": "line_total"},
            "label": {"type": "string", "fn": True},  # sorts first: runs before total
            "zz_after": {"type": "int", "fn": True},
            "remote": {"type": "int", "asyncFn": True},
        },
    })
    return r


def test_write_path_runs_sync_computes_in_order(computed):
    calls = []

    def label(doc):
        calls.append(("label", dict(doc)))
        doc["price"] = 999  # the callback's own copy
        return None

    computed.set_fn("label", label)
    computed.set_fn("line_total", lambda doc: doc["price"] * doc["qty"])
    computed.set_fn("zz_after", lambda doc: doc["total"] + 1)
    out = computed.apply_write_defaults("Line", {"price": 3})
    # a null result stays null on the write path; async computes are not run
    assert out == {"price": 3, "qty": 2, "label": None, "total": 6, "zz_after": 7}
    assert calls == [("label", {"price": 3, "qty": 2})]


def test_write_path_callback_failures(computed):
    computed.set_fn("label", lambda doc: "x")
    with pytest.raises(RuntimeError) as err:
        computed.apply_write_defaults("Line", {})
    assert err.value.args == ("计算列 line_total 未注册同步实现",)


MISSING = object()


@pytest.fixture
def both_paths():
    r = quorvel_py.Registry()
    r.register({
        "name": "M",
        "timestamps": False,
        "fields": {
            "explicit": {"type": "int", "default": 7},
            "typed": "int",
            "null_int": {"type": "int", "default": None},
            "null_any": {"default": None},
            "address": {"type": "object", "fields": {"city": "string", "geo": {"type": "object", "fields": {"lat": "double"}}}},
        },
        "computes": {"c": {"type": "int", "fn": True}},
    })
    r.set_fn("c", lambda doc: None)
    return r


@pytest.mark.parametrize(
    "member, write, read",
    [
        ("explicit", 7, 7),
        ("typed", 0, MISSING),  # the read path uses explicit defaults only
        # an explicit null default is written as null, not replaced by the type default
        ("null_int", None, MISSING),
        ("null_any", None, MISSING),
        ("address", {"city": "", "geo": {"lat": 0}}, {"city": "", "geo": {}}),  # one level on reads
        ("c", None, 0),  # a null computed result takes the type default on reads only
    ],
)
def test_write_path_versus_read_path(both_paths, member, write, read):
    written = both_paths.apply_write_defaults("M", {"address": {}})
    processed = both_paths.process_node("M { explicit typed null_int null_any address { city geo } c }", {"address": {}})["doc"]
    assert written.get(member, MISSING) == write
    assert processed.get(member, MISSING) == read
