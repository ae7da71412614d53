import pytest

import quorvel_py

SCHEMAS = [
    {"name": "Open"},
    {"name": "EmptyRead", "read": []},
    {"name": "Guestbook", "read": ["guest"]},
    {"name": "Editors", "read": ["editor"]},
    {"name": "Viewers", "read": ["viewer"]},
    {"name": "Owned", "read": ["creator"], "write": ["creator"]},
    {"name": "OwnedOrEditor", "read": ["creator", "editor"]},
    {"name": "Locked", "write": []},
    {"name": "EditorWrites", "write": ["editor"]},
    {
        "name": "Doc",
        "write": ["owner"],
        "fields": {
            "title": "string",
            "secret": {"type": "string", "read": ["admin"]},
            "draft": {"type": "object", "read": ["editor"], "write": ["editor"]},
        },
        "relations": {"author": {"model": "User"}, "audit": {"model": "Log", "read": ["admin"]}},
    },
]


@pytest.fixture(scope="module")
def reg():
    r = quorvel_py.Registry()
    for d in SCHEMAS:
        r.register(d)
    return r


INTERNAL = {"internal": True}
INTERNAL_GUEST = {"internal": True, "roles": ["guest"]}
GUEST = {"roles": ["guest"]}
ADMIN = {"roles": ["admin"]}
SUPER = {"roles": ["super_admin"]}
ROLE_ADMIN = {"role": "admin"}
EDITOR = {"roles": ["editor"]}
USER = {"userId": "u1"}

CAN_READ = [
    ("Open", None, True),
    ("Open", GUEST, False),
    ("Open", INTERNAL_GUEST, True),
    ("Open", {"roles": "guest"}, True),  # a non-list roles value is no roles list
    ("Open", {"roles": []}, True),
    ("Open", USER, True),
    ("EmptyRead", GUEST, False),
    ("EmptyRead", EDITOR, True),
    ("Guestbook", GUEST, True),
    ("Guestbook", EDITOR, False),
    ("Guestbook", USER, False),
    ("Editors", None, True),
    ("Editors", [1], True),  # not a dict: no context
    ("Editors", INTERNAL, True),
    ("Editors", {"internal": "yes"}, True),
    ("Editors", {"internal": 0, "roles": ["viewer"]}, False),
    ("Editors", ROLE_ADMIN, False),  # no administrator bypass through role
    ("Editors", ADMIN, True),
    ("Editors", SUPER, True),
    ("Editors", EDITOR, True),
    ("Editors", {"role": "editor"}, True),
    ("Editors", {"roles": ["x", 3, "editor"]}, True),
    ("Editors", {"roles": ["Editor"]}, False),
    ("Viewers", {"roles": ["editor"], "role": "viewer"}, False),  # role ignored beside a non-empty roles list
    ("Viewers", {"roles": [], "role": "viewer"}, True),
    ("Owned", USER, True),
    ("Owned", {"userId": "u1", "roles": ["viewer"]}, True),  # the owner condition narrows the read
    # without a user id nothing could narrow the read, so the creator rule does not grant it
    ("Owned", EDITOR, False),
    ("Owned", {"userId": ""}, False),
    ("OwnedOrEditor", EDITOR, True),
    ("OwnedOrEditor", GUEST, False),
    ("OwnedOrEditor", {"userId": "g", "roles": ["guest"]}, True),
]

CAN_WRITE = [
    ("Open", None, True),
    ("Open", EDITOR, True),
    ("Open", GUEST, False),
    ("Open", INTERNAL_GUEST, False),  # guests never write, even internal ones
    ("Open", INTERNAL, True),
    ("Locked", None, True),
    ("Locked", EDITOR, False),
    ("Locked", USER, False),
    ("Locked", ROLE_ADMIN, False),
    ("Locked", ADMIN, True),
    ("Locked", SUPER, True),
    ("Locked", INTERNAL, True),
    ("EditorWrites", EDITOR, True),
    ("EditorWrites", {"role": "editor"}, True),
    ("EditorWrites", USER, False),
    ("EditorWrites", ADMIN, True),
    ("EditorWrites", {"roles": ["editor", "guest"]}, False),
    ("EditorWrites", {"roles": ["admin", "guest"]}, False),
    ("Owned", USER, True),
    ("Owned", EDITOR, False),
]


@pytest.mark.parametrize("model, ctx, expected", CAN_READ)
def test_can_read(reg, model, ctx, expected):
    assert reg.can_read(model, ctx) is expected


@pytest.mark.parametrize("model, ctx, expected", CAN_WRITE)
def test_can_write(reg, model, ctx, expected):
    assert reg.can_write(model, ctx=ctx) is expected


ALL_DOC_FIELDS = ["createdAt", "draft", "secret", "title", "updatedAt"]

NAME_SETS = [
    ("readable_fields", None, None),
    ("readable_fields", EDITOR, ["createdAt", "draft", "title", "updatedAt"]),
    ("readable_fields", ADMIN, ALL_DOC_FIELDS),
    ("readable_fields", INTERNAL, ALL_DOC_FIELDS),
    ("readable_fields", GUEST, ["createdAt", "title", "updatedAt"]),
    ("writable_fields", None, None),
    # the schema is not writable for an editor: only fields whose own list allows
    ("writable_fields", EDITOR, ["draft"]),
    # writable schema: fields without a list, plus those whose list allows
    ("writable_fields", {"roles": ["owner"]}, ["createdAt", "secret", "title", "updatedAt"]),
    ("writable_fields", ADMIN, ALL_DOC_FIELDS),
    ("writable_fields", GUEST, []),
    ("readable_relations", None, None),
    ("readable_relations", EDITOR, ["author"]),
    ("readable_relations", ADMIN, ["audit", "author"]),
]


@pytest.mark.parametrize("method, ctx, expected", NAME_SETS)
def test_name_sets(reg, method, ctx, expected):
    assert getattr(reg, method)("Doc", ctx) == expected


def test_name_sets_are_sorted_by_bytes():
    reg = quorvel_py.Registry()
    reg.register({"name": "S", "timestamps": False, "fields": {"b": "x", "B": "x", "é": "x", "a": "x", "_": "x"}})
    assert reg.readable_fields("S", {}) == ["B", "_", "a", "b", "é"]


OWNER_INJECTION = [
    ("Owned", USER, True),
    ("Owned", None, False),
    ("Owned", {"userId": ""}, False),
    ("Owned", {"userId": 5}, False),
    ("Owned", {"userId": "u1", "internal": True}, False),
    ("Owned", {"userId": "u1", "roles": ["admin"]}, False),
    ("Owned", {"userId": "u1", "role": "admin"}, True),
    ("OwnedOrEditor", {"userId": "u1", "roles": ["editor"]}, False),  # reads by role: sees everything
    ("OwnedOrEditor", {"userId": "u1", "role": "editor"}, False),
    ("OwnedOrEditor", {"userId": "u1", "roles": ["viewer"]}, True),
    ("Open", USER, False),
    ("EmptyRead", USER, False),
]


@pytest.mark.parametrize("model, ctx, expected", OWNER_INJECTION)
def test_should_inject_owner(reg, model, ctx, expected):
    assert reg.should_inject_owner(model, ctx) is expected


OWNER = {"createdBy": "u1"}

MERGES = [
    (None, OWNER),
    (False, OWNER),
    (0, OWNER),
    (0.0, OWNER),
    ("", OWNER),
    ({"age": 3}, {"$and": [{"age": 3}, OWNER]}),
    ({}, {"$and": [{}, OWNER]}),
    ([], {"$and": [[], OWNER]}),
    (True, {"$and": [True, OWNER]}),
    ("x", {"$and": ["x", OWNER]}),
]


@pytest.mark.parametrize("condition, expected", MERGES)
def test_merge_owner_condition(reg, condition, expected):
    assert reg.merge_owner_condition("Owned", USER, condition) == expected


@pytest.mark.parametrize("model, ctx", [("Owned", None), ("Open", USER), ("OwnedOrEditor", EDITOR | USER)])
@pytest.mark.parametrize("condition", [None, {"age": 3}, False])
def test_merge_owner_condition_leaves_condition_alone(reg, model, ctx, condition):
    assert reg.merge_owner_condition(model, ctx, condition=condition) == condition


def test_filter_writable_data(reg):
    data = {"_id": 1, "draft": {"a": 1}, "draft.x": 2, "title": "t", "$set": {"title": "u"}, "zz": 1}
    assert reg.filter_writable_data("Doc", EDITOR, data) == {"_id": 1, "draft": {"a": 1}, "draft.x": 2}
    assert reg.filter_writable_data("Doc", GUEST, data) == {"_id": 1}
    assert reg.filter_writable_data("Doc", None, data) == data
    for unchanged in (None, [1, {"secret": 1}], "text"):
        assert reg.filter_writable_data("Doc", EDITOR, unchanged) == unchanged


def test_permission_queries_ignore_the_require_context_switch(reg):
    reg.set_require_context(True)
    try:
        assert reg.can_read("Editors") is True
        assert reg.readable_fields("Doc") is None
    finally:
        reg.set_require_context(False)


def test_unknown_model_and_bad_arguments(reg):
    for method in ("can_read", "can_write", "readable_fields", "writable_fields", "readable_relations",
                   "should_inject_owner", "filter_writable_data", "merge_owner_condition"):
        with pytest.raises(RuntimeError) as e:
            getattr(reg, method)("Nope", EDITOR)
        assert e.value.args == ("Schema 未注册: Nope",)
        with pytest.raises(TypeError):
            getattr(reg, method)(1)
    with pytest.raises(TypeError):
        reg.can_read("Open", {"roles": [object()]})


@pytest.mark.parametrize(
    "name, signature",
    [
        ("can_read", "(model, ctx=None)"),
        ("can_write", "(model, ctx=None)"),
        ("readable_fields", "(model, ctx=None)"),
        ("writable_fields", "(model, ctx=None)"),
        ("readable_relations", "(model, ctx=None)"),
        ("should_inject_owner", "(model, ctx=None)"),
        ("filter_writable_data", "(model, ctx=None, data=None)"),
        ("merge_owner_condition", "(model, ctx=None, condition=None)"),
    ],
)
def test_method_signatures(name, signature):
    import inspect

    assert str(inspect.signature(getattr(quorvel_py.Registry(), name))) == signature
