import pytest

import quorvel_py

ORDER = {
    "name": "Order",
    "timestamps": False,
    "fields": {
        "title": "string",
        "price": {"type": "int", "default": 10},
        "qty": "int",
        "note": {"type": "string", "default": "none"},
        "address": {"type": "object", "fields": {"city": "string", "zip": {"type": "string", "default": "000"}}},
        "secret": {"type": "string", "read": ["creator"]},
        "vault": {"type": "object", "read": ["creator"], "fields": {"code": "string"}},
        "createdBy": "string",
    },
    "relations": {
        "lines": {"model": "Line", "foreignField": "orderId"},
        "buyer": {"model": "User", "type": "one", "localField": "createdBy", "foreignField": "_id"},
        "audit": {"model": "User", "read": ["admin"]},
        "ghost": {"model": "Nowhere"},
    },
    "computes": {
        "total": {"type": "int", "fn": True, "depends": ["price", "qty"]},
        "zz_double": {"type": "int", "fn": True, "depends": ["total"]},  # sorts after total
        "blank": {"type": "int", "fn": True},
        "anything": {"fn": True},
        "private": {"type": "string", "fn": True, "read": ["creator"]},
    },
}
LINE = {"name": "Line", "timestamps": False, "fields": {"sku": "string", "n": {"type": "int", "default": 1}},
        "computes": {"label": {"type": "string", "fn": True, "depends": ["sku"]}}}
USER = {"name": "User", "timestamps": False, "fields": {"name": "string"}}


def callbacks(seen):
    def total(doc):
        seen.append(doc)
        return doc["price"] * doc.get("qty", 1)

    return {
        "total": total,
        "zz_double": lambda doc: doc["total"] * 2,
        "blank": lambda doc: None,
        "anything": lambda doc: None,
        "private": lambda doc: "p",
        # called for every related element, scalars included
        "label": lambda doc: "L-" + doc.get("sku", "?") if isinstance(doc, dict) else seen.append(doc),
    }


@pytest.fixture
def seen():
    return []


@pytest.fixture
def reg(seen):
    r = quorvel_py.Registry()
    for d in (ORDER, LINE, USER):
        r.register(d)
    for name, fn in callbacks(seen).items():
        r.set_fn(name, fn)
    return r


BASE = {"blank": 0, "anything": None, "private": "p"}


@pytest.mark.parametrize(
    "gql, doc, expected",
    [
        # dependencies get their explicit defaults and reach the callback, then are dropped
        ("Order { title total }", {"_id": 1, "title": "t", "qty": 3, "x": 1},
         {"_id": 1, "title": "t", "total": 30}),
        # a later compute sees an earlier one's result
        ("Order { zz_double }", {"price": 2, "qty": 2}, {"zz_double": 8}),
        # typed null result takes the type default, untyped stays null
        ("Order { blank anything }", {}, {"blank": 0, "anything": None}),
        # top level: explicit defaults only
        ("Order { note qty title }", {"title": None}, {"note": "none", "title": None}),
        # nested defaults below selected dotted names, and only selected sub-members survive
        ("Order { address { city zip } }", {"address": {"street": "s"}}, {"address": {"city": "", "zip": "000"}}),
        ("Order { address { city } }", {}, {}),
        ("Order { address { city } }", {"address": {"city": None, "zip": "9"}}, {"address": {"city": ""}}),
        # relations: each element processed, "_id" dropped unless selected
        ("Order { lines { sku label } }", {"_id": 1, "lines": [{"_id": 5, "sku": "a", "n": 9}, None, 3]},
         {"_id": 1, "lines": [{"sku": "a", "label": "L-a"}, None, 3]}),
        ("Order { lines { _id n } }", {"lines": [{"_id": 5}]}, {"lines": [{"_id": 5, "n": 1}]}),
        ("Order { buyer { name } }", {"buyer": {"_id": 7, "name": "ann", "pw": "x"}}, {"buyer": {"name": "ann"}}),
        ("Order { buyer { name } }", {"buyer": "u7"}, {"buyer": "u7"}),
        # a selection of something undeclared is kept as it is
        ("Order { mystery { a } }", {"mystery": {"a": 1, "b": 2}}, {"mystery": {"a": 1, "b": 2}}),
    ],
)
def test_process_node(reg, gql, doc, expected):
    out = reg.process_node(gql, doc)["doc"]
    assert out == {**{k: v for k, v in BASE.items() if k in out}, **expected}
    assert set(out) - set(expected) <= set(BASE)


def test_callbacks_see_the_whole_document_with_earlier_results(reg, seen):
    reg.process_node("Order { total }", {"_id": 1, "qty": 2, "other": "kept for callbacks"})
    assert seen == [{"_id": 1, "qty": 2, "other": "kept for callbacks", "price": 10,
                     "anything": None, "blank": None, "private": "p"}]


def test_null_document_is_returned_as_null(reg):
    assert reg.process_node("Order { ghost { a } }", None) == {"doc": None}


def test_unregistered_relation_target_fails_only_when_reached(reg):
    with pytest.raises(RuntimeError, match="^Schema 未注册: Nowhere$"):
        reg.process_node("Order { ghost { a } }", {"ghost": []})


RELATED = {"audit": [{"_id": 3, "name": "x"}], "vault": {"code": "c", "pin": 1}}
OWN = {"_id": 1, "createdBy": "u1", "secret": "s", **RELATED}
OTHER = {"_id": 2, "createdBy": "u2", "secret": "s", **RELATED}
VISIBLE = {"secret": "s", "private": "p", "vault": {"code": "c"}}


@pytest.mark.parametrize(
    "ctx, doc, expected",
    [
        ({"userId": "u1"}, OWN, {"_id": 1, "createdBy": "u1", **VISIBLE}),
        # an object field read through its sub-selection follows the field's own rules
        ({"userId": "u1"}, OTHER, {"_id": 2, "createdBy": "u2"}),
        ({"userId": "u1", "roles": ["admin"]}, OTHER, {"_id": 2, "createdBy": "u2", **VISIBLE, "audit": [{"name": "x"}]}),
        (None, OTHER, {"_id": 2, "createdBy": "u2", **VISIBLE, "audit": [{"name": "x"}]}),
    ],
)
def test_per_document_permission_trimming(reg, ctx, doc, expected):
    out = reg.process_node("Order { createdBy secret private vault { code } audit { name } }", doc, ctx)
    assert out == {"doc": expected}


@pytest.mark.parametrize(
    "gql, message",
    [
        ("", "期望 id(undefined) 但已到达末尾"),
        ("Nope { a }", "Schema 未注册: Nope"),
    ],
)
def test_query_errors(reg, gql, message):
    with pytest.raises(RuntimeError) as err:
        reg.process_node(gql, {})
    assert err.value.args == (message,)


def test_missing_callback_names_the_fn_ref(reg):
    reg.clear_fns()
    with pytest.raises(RuntimeError, match="^计算列 anything 未注册同步实现$"):
        reg.process_node("Order { title }", {})
