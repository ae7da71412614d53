import gc
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
