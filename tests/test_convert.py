import enum
import math
import sys

import pytest

from conftest import copy_through_core

UNSUPPORTED = "不支持的 Python 类型（需为 None/bool/int/float/str/list/tuple/dict）"


class Color(enum.IntEnum):
    RED = 3


class Text(str):
    pass


@pytest.mark.parametrize(
    "value, expected",
    [
        (None, None),
        (True, True),
        (Color.RED, 3),
        (2**63, 2**63),
        (2**64 - 1, 2**64 - 1),
        (-(2**63), -(2**63)),
        (2.0, 2.0),
        ("é\x00", "é\x00"),
        (Text("x"), "x"),
        ((1, 2), [1, 2]),
        ({2: "a", "1": "b", 1: "c"}, {"1": "c", "2": "a"}),
        ({True: 1, None: 2}, {"None": 2, "True": 1}),
        ({"b": {"d": 1, "c": [{}]}, "a": []}, {"a": [], "b": {"c": [{}], "d": 1}}),
    ],
)
def test_round_trip(reg, value, expected):
    out = copy_through_core(reg, value)
    assert out == expected
    assert type(out) is type(expected)


def test_types_survive_the_round_trip(reg):
    out = copy_through_core(reg, {"t": True, "f": 2.0, "i": 1, "big": 2**64})
    assert out["t"] is True
    assert isinstance(out["f"], float) and isinstance(out["i"], int)
    assert isinstance(out["big"], float) and out["big"] == 2.0**64


def test_dict_keys_come_back_sorted_by_bytes(reg):
    out = copy_through_core(reg, {"é": 1, "b": 2, "B": 3, "a": 4})
    assert list(out) == ["B", "a", "b", "é"]


@pytest.mark.parametrize("bad", [float("nan"), float("inf"), -math.inf])
def test_non_finite_floats_become_null(reg, bad):
    assert copy_through_core(reg, {"x": bad}) == {"x": None}


@pytest.mark.parametrize("bad", [{1, 2}, [frozenset()], b"x", {"a": [object()]}, 1j])
def test_unsupported_types_raise(reg, bad):
    with pytest.raises(TypeError) as err:
        copy_through_core(reg, bad)
    assert str(err.value) == UNSUPPORTED


def test_int_beyond_float_range_raises(reg):
    with pytest.raises(TypeError) as err:
        copy_through_core(reg, 10**400)
    assert str(err.value) == "整数超出 quorvel_json 可表示范围"


def test_python_errors_pass_through(reg):
    class BadKey:
        def __str__(self):
            raise KeyError("no text")

    with pytest.raises(KeyError):
        copy_through_core(reg, {BadKey(): 1})
    with pytest.raises(UnicodeEncodeError):
        copy_through_core(reg, "\ud800")

    class BadList(list):
        def __iter__(self):
            raise ValueError("cannot iterate")

    with pytest.raises(ValueError):
        copy_through_core(reg, BadList([1]))


def _resizing_dict(grow):
    d = {}

    class Resizer:
        def __str__(self):
            d.update(extra=1) if grow else d.pop("z")
            return "k"

    d[Resizer()] = 1
    d["z"] = 2
    return d


def _resizing_list(grow):
    items = []

    class Resizer:
        def __str__(self):
            items.append("more") if grow else items.clear()
            return "k"

    items.extend([{Resizer(): 1}, "x", "y"])
    return items


@pytest.mark.parametrize("grow", [True, False])
@pytest.mark.parametrize(
    "make", [_resizing_dict, _resizing_list, lambda grow: {"nested": (_resizing_list(grow),)}]
)
def test_containers_changing_size_during_conversion_raise(reg, make, grow):
    with pytest.raises(RuntimeError, match="changed size during iteration"):
        copy_through_core(reg, make(grow))


@pytest.mark.parametrize("limit", [None, 1_000_000])
def test_deep_nesting_raises_recursion_error(reg, limit):
    nested = []
    for _ in range(100_000):
        nested = [nested]
    deep_dict = {}
    for _ in range(100_000):
        deep_dict = {"a": deep_dict}
    old = sys.getrecursionlimit()
    if limit:
        sys.setrecursionlimit(limit)
    try:
        for value in (nested, deep_dict):
            with pytest.raises(RecursionError):
                copy_through_core(reg, value)
    finally:
        sys.setrecursionlimit(old)


def test_moderate_nesting_round_trips(reg):
    nested = "leaf"
    for _ in range(300):
        nested = {"n": [nested]}
    assert copy_through_core(reg, nested) == nested
