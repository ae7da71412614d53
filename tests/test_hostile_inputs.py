"""Every Registry method, every argument slot, hostile values: each call either
returns or raises a clear error, never a SystemError or a crash. Methods are
found by introspection, so a new method is swept without changing this file."""
import inspect
import random

import pytest

import quorvel_py


class Boom(Exception):
    pass


class RaisingStr:
    def __str__(self):
        raise Boom("str")


class ClearingKey:
    """str() of this key empties the dict that holds it."""

    def __init__(self, owner):
        self.owner = owner

    def __str__(self):
        self.owner.clear()
        return "k"


class RaisingIter(list):
    def __iter__(self):
        raise Boom("iter")


def self_list():
    x = [1]
    x.append(x)
    return x


def self_dict():
    d = {"a": 1}
    d["self"] = d
    return d


def clearing_dict():
    d = {"a": 1, "b": 2}
    d[ClearingKey(d)] = 3
    return d


def nested(depth):
    v = {"a": 1}
    for _ in range(depth):
        v = {"$and": [v]}
    return v


HOSTILE = {
    "self list": self_list,
    "self dict": self_dict,
    "key str raises": lambda: {RaisingStr(): 1},
    "key str clears the dict": clearing_dict,
    "iter raises": lambda: RaisingIter([1]),
    "huge int": lambda: 2 ** 200,
    "lone surrogate": lambda: "\ud800",
    "surrogate key": lambda: {"\udcff": 1},
    "beyond the depth cap": lambda: nested(1600),
    "unsupported type": object,
    "bytes": lambda: b"x",
    "nan": lambda: float("nan"),
}

SCHEMA = {
    "name": "User",
    "collection": "users",
    "fields": {"name": "string", "age": "int", "meta": {"type": "object", "fields": {"a": "string"}}},
    "relations": {"posts": {"model": "User", "foreignField": "age"}},
    "computes": {"wc": {"fn": True, "depends": ["name"]}, "later": {"asyncFn": True, "depends": ["posts { name }"]},
                 "n": {"agg": {"$count": "posts"}}},
}
GQL = "User($condition: @c, $limit: @n) { name wc later n posts { name } }"
PARAMS = {"c": {"age": {"$gt": 1}, "name": {"$in": ["ann", "bo"]}}, "n": 5}
DOC = {"_id": 1, "name": "ann", "age": 3, "posts": [{"_id": 2, "name": "bo"}]}

# A valid value for every parameter name in use; the sweep replaces one at a time.
VALID = {
    "defn": SCHEMA,
    "name": "User",
    "schema_name": "User",
    "model": "User",
    "gql": GQL,
    "params": PARAMS,
    "ctx": {"userId": "u1", "roles": ["editor"]},
    "route_override": {"namespace": "t"},
    "config": {"sources": {"default": "sqlite"}},
    "fn_ref": "wc",
    "callback": lambda doc: len(doc),
    "require": False,
    "doc": DOC,
    "data": DOC,
    "condition": {"age": 1},
    "filter": {"age": 1},
    "sort": {"name": 1},
    "total": 10,
    "items": [DOC],
    "ids": [1],
    "inject_info": {"relations": {"posts": {"whole": True}}},
    "postprocess": None,  # filled from a real plan below
    "backend": "sqlite",
    "cmd": {"kind": "find", "collection": "users", "filter": {"age": {"$gt": 1}}},
    "shape": {"columns": [{"alias": "_id", "path": ["_id"]}, {"alias": "p", "path": ["posts", "name"], "isArray": True}],
              "present": "__present"},
    "rows": [{"_id": 1, "p": "x", "__present": ",_id,"}],
    "plan": {"sources": [{"key": "root"}, {"key": "p"}],
             "join": {"edges": [{"rel": "posts", "key": "p", "local": "_id", "foreign": "age", "cardinality": "many"}]}},
    "results": [[DOC], [{"age": 1}]],
}

CLEAR_ERRORS = (RuntimeError, TypeError, RecursionError, ValueError, Boom)


def new_registry():
    reg = quorvel_py.Registry()
    reg.register(SCHEMA)
    reg.set_fn("wc", lambda doc: len(doc))
    return reg


def methods():
    return sorted(n for n in dir(quorvel_py.Registry) if not n.startswith("_"))


def valid_args(reg, method):
    args = {}
    for p in inspect.signature(getattr(reg, method)).parameters:
        if p not in VALID:
            raise AssertionError(f"no valid value for parameter {p!r} of {method}: add one to VALID")
        args[p] = VALID[p]
    if "postprocess" in args:
        args["postprocess"] = reg.plan_query(GQL, PARAMS)["postprocess"]
    return args


def outcome(call):
    try:
        call()
    except SystemError as e:  # an error path that forgot to set its exception
        return f"SystemError: {e}"
    except CLEAR_ERRORS:
        pass
    return None


@pytest.mark.parametrize("method", methods())
def test_valid_arguments_are_accepted(method):
    reg = new_registry()
    getattr(reg, method)(**valid_args(reg, method))


@pytest.mark.parametrize("method", methods())
def test_hostile_values_in_every_slot_give_clear_errors(method):
    failures = []
    reg = new_registry()
    base = valid_args(reg, method)
    for slot in base:
        for label, make in HOSTILE.items():
            args = dict(base, **{slot: make()})
            if (bad := outcome(lambda: getattr(reg, method)(**args))) is not None:
                failures.append(f"{slot} = {label}: {bad}")
    assert failures == []


def test_randomized_chains_give_clear_errors():
    """Results of one method fed, perturbed, into the next ones."""
    rnd = random.Random(20240611)
    reg = new_registry()
    scalars = [None, True, 0, -1, 2 ** 64 - 1, 1.5, "", "x", "$x", "@c", "{{phase1.ids}}"]

    def perturb(v, depth=0):
        if isinstance(v, dict) and v and depth < 6:
            v = dict(v)
            k = rnd.choice(list(v))
            v[k] = perturb(v[k], depth + 1) if rnd.random() < 0.6 else rnd.choice(scalars + [[], {}])
        elif isinstance(v, list) and v and depth < 6:
            v = list(v)
            i = rnd.randrange(len(v))
            v[i] = perturb(v[i], depth + 1) if rnd.random() < 0.6 else rnd.choice(scalars + [[], {}])
        elif rnd.random() < 0.5:
            v = rnd.choice(scalars)
        return v

    failures = []
    for _ in range(300):
        plan = reg.plan_query(GQL, PARAMS)
        steps = [
            lambda: reg.plan_query(GQL, perturb(PARAMS), perturb(VALID["ctx"])),
            lambda: reg.dialect_translate(rnd.choice(["mysql", "postgres", "sqlite"]), perturb(VALID["cmd"])),
            lambda: reg.restore_rows(perturb(VALID["shape"]), perturb(VALID["rows"])),
            lambda: reg.prepare_query(perturb(plan["postprocess"]), perturb([DOC, DOC])),
            lambda: reg.strip_query(perturb(plan["postprocess"]), perturb([DOC])),
            lambda: reg.merge_federated(perturb(VALID["plan"]), perturb(VALID["results"])),
            lambda: reg.process_node(GQL, perturb(DOC)),
            lambda: reg.strip_dep_injected(perturb(reg.inject_depends(GQL)["injectInfo"]), perturb([DOC])),
            lambda: reg.restore_sort_order(perturb([DOC, DOC]), perturb([1, 2]), perturb({"name": 1})),
        ]
        if (bad := outcome(rnd.choice(steps))) is not None:
            failures.append(bad)
    assert failures == []
