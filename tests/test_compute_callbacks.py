import gc
import sys
import weakref

import pytest

import quorvel_py


class Callback:
    """A callable that can be watched with a weak reference."""

    def __call__(self, doc):
        return 1


def test_replaced_and_cleared_callbacks_are_released(reg):
    first, second = Callback(), Callback()
    first_ref, second_ref = weakref.ref(first), weakref.ref(second)
    reg.set_fn("f", first)
    reg.set_fn(fn_ref="f", callback=second)
    del first, second
    assert first_ref() is None and second_ref() is not None
    reg.clear_fns()
    assert second_ref() is None


def test_registry_whose_callback_refers_to_it_is_collected():
    reg = quorvel_py.Registry()
    reg.set_fn("total", lambda doc: reg.require_context())
    reg_ref = weakref.ref(reg)
    del reg
    gc.collect()
    assert reg_ref() is None


def test_callback_deleting_on_release_may_use_the_registry(reg):
    seen = []

    class Finalised:
        def __call__(self, doc):
            return None

        def __del__(self):
            # Runs while set_fn releases the old entry: the Registry is free again.
            reg.set_require_context(True)
            seen.append(reg.require_context())

    reg.set_fn("f", Finalised())
    reg.set_fn("f", Callback())
    assert seen == [True]


def test_set_fn_accepts_any_object_and_checks_the_name(reg):
    reg.set_fn("f", 42)  # not checked for being callable
    with pytest.raises(TypeError, match="'fn_ref' must be str"):
        reg.set_fn(1, Callback())


INJECT = {"inject": {"fields": ["score"], "relations": {"author": "__all__", "tags": ["avatar"]}}}


@pytest.mark.parametrize(
    "info, items, expected",
    [
        (INJECT, [{"a": 2, "score": 1}, 5], [{"a": 2}, 5]),
        (INJECT, [{"author": {"name": "x"}, "tags": {"avatar": 1, "name": "t"}}], [{"tags": {"name": "t"}}]),
        (INJECT, [{"tags": [{"avatar": 1, "n": 1}, 3, {"avatar": 2}], "author": None}], [{"tags": [{"n": 1}, 3, {}]}]),
        (INJECT, [{"tags": "avatar"}], [{"tags": "avatar"}]),
        # the inner object alone is read the same way
        (INJECT["inject"], [{"score": 1, "author": 1}], [{}]),
        # non-strings inside a field list become "", other relation values give no entry
        ({"relations": {"b": ["x", 1], "c": 3}, "fields": ["f", 2]},
         [{"b": {"x": 1, "": 2, "y": 3}, "c": {"x": 1}, "f": 1, "2": 1}], [{"b": {"y": 3}, "c": {"x": 1}, "2": 1}]),
        ({"inject": {}}, [{"score": 1}], [{"score": 1}]),
        (None, [{"score": 1}], [{"score": 1}]),
        (INJECT, {"score": 1}, []),  # not a list: the empty list
        (INJECT, None, []),
    ],
)
def test_strip_dep_injected(reg, info, items, expected):
    assert reg.strip_dep_injected(info, items) == {"items": expected}


def test_strip_dep_injected_conversion_failure_raises(reg):
    with pytest.raises(TypeError):
        reg.strip_dep_injected({"inject": {}}, [{1, 2}])


@pytest.fixture
def line():
    r = quorvel_py.Registry()
    r.register({"name": "Line", "fields": {"qty": "int"}, "computes": {"total": {"type": "int", "fn": True, "fnRef": "t"}}})
    return r


def nested(depth):
    value = []
    for _ in range(depth):
        value = [value]
    return value


class MyError(Exception):
    pass


def raise_(exc):
    def callback(doc):
        raise exc
    return callback


NOT_CONVERTIBLE = "不支持的 Python 类型（需为 None/bool/int/float/str/list/tuple/dict）"


@pytest.mark.parametrize(
    "callback, message",
    [
        (raise_(ValueError("bad")), "ValueError: bad"),
        (raise_(MyError("多字节")), "MyError: 多字节"),
        (raise_(KeyError("k")), "KeyError: 'k'"),
        (lambda doc: object(), NOT_CONVERTIBLE),
        (lambda doc: {"a": {1, 2}}, NOT_CONVERTIBLE),
        (lambda doc: nested(100000), "maximum recursion depth exceeded while converting a Python object"),
        (lambda: 1, "TypeError: <lambda>() takes 0 positional arguments but 1 was given"),
        (5, "TypeError: 'int' object is not callable"),
    ],
)
def test_callback_failures_carry_the_bridge_message(line, callback, message):
    line.set_fn("t", callback)
    with pytest.raises(RuntimeError) as err:
        line.apply_write_defaults("Line", {"qty": 1})
    assert err.value.args == (message,)
    # the registry is still usable afterwards
    line.set_fn("t", lambda doc: 7)
    assert line.apply_write_defaults("Line", {})["total"] == 7


def test_latest_callback_wins_and_clear_removes_it(line):
    line.set_fn("t", lambda doc: 1)
    line.set_fn("t", lambda doc: 2)
    assert line.apply_write_defaults("Line", {})["total"] == 2
    line.clear_fns()
    with pytest.raises(RuntimeError, match="^计算列 t 未注册同步实现$"):
        line.apply_write_defaults("Line", {})


def test_interrupts_in_callbacks_are_not_turned_into_errors(line):
    line.set_fn("t", raise_(KeyboardInterrupt()))
    with pytest.raises(KeyboardInterrupt):
        line.apply_write_defaults("Line", {})


def test_large_results_pass_through(line):
    big = list(range(200000))
    line.set_fn("t", lambda doc: {"rows": big, "deep": nested(500)})
    out = line.apply_write_defaults("Line", {})["total"]
    assert out["rows"] == big and out["deep"] == nested(500)


def try_call(action):
    def run(reg, errors):
        try:
            action(reg)
        except RuntimeError as e:
            errors.append(str(e))
    return run


@pytest.mark.parametrize(
    "change",
    [
        lambda r: r.register({"name": "Late"}),
        lambda r: r.set_fn("t", lambda doc: 0),
        lambda r: r.clear_fns(),
        lambda r: r.set_require_context(True),
    ],
)
def test_changing_the_registry_from_a_callback_is_refused(line, change):
    errors = []

    def callback(doc):
        try_call(change)(line, errors)
        return line.can_read("Line", {"roles": ["x"]})  # sharing methods still work

    line.set_fn("t", callback)
    for _ in range(2):  # the table still holds the same callback afterwards
        assert line.process_node("Line { total }", {}) == {"doc": {"total": True}}
    assert errors == ["Already borrowed"] * 2
    assert not line.has("Late") and line.require_context() is False


def test_uncaught_borrow_error_fails_the_call(line):
    line.set_fn("t", lambda doc: line.register({"name": "Late"}))
    with pytest.raises(RuntimeError) as err:
        line.process_node("Line { total }", {})
    assert err.value.args == ("RuntimeError: Already borrowed",)
    assert not line.has("Late")


def test_registry_used_by_its_own_callback_is_collected_after_processing():
    reg = quorvel_py.Registry()
    reg.register({"name": "Line", "computes": {"total": {"fn": True}}})
    reg.set_fn("total", lambda doc: reg.has("Line"))
    assert reg.process_node("Line { total }", {})["doc"] == {"total": True}
    reg_ref = weakref.ref(reg)
    del reg
    gc.collect()
    assert reg_ref() is None


@pytest.mark.parametrize(
    "name, signature",
    [
        ("set_fn", "(fn_ref, callback)"),
        ("clear_fns", "()"),
        ("apply_write_defaults", "(model, doc)"),
        ("process_node", "(gql, doc, ctx=None)"),
        ("inject_depends", "(gql)"),
        ("strip_dep_injected", "(inject_info, items)"),
        ("async_fn_refs", "(model, ctx=None)"),
    ],
)
def test_method_signatures(name, signature):
    import inspect

    assert str(inspect.signature(getattr(quorvel_py.Registry(), name))) == signature


def test_unbounded_reentry_stops_before_the_c_stack(line):
    # Even with the interpreter's limit lifted, a callback that re-enters its
    # own Registry without end must fail cleanly rather than crash.
    line.set_fn("t", lambda doc: line.process_node("Line { total }", {})["doc"])
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(1_000_000)
    try:
        with pytest.raises(RuntimeError) as err:
            line.process_node("Line { total }", {})
    finally:
        sys.setrecursionlimit(old)
    assert "maximum recursion depth exceeded in nested Registry calls" in str(err.value)
