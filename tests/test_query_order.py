"""Re-ordering two-phase results and recognising sorts on relation paths."""
import pytest


@pytest.mark.parametrize("sort, expected", [
    (None, False),
    ({"$sort": {"title": 1}}, False),
    ({"$sort": {"title": 1, "author.name": -1}}, True),
    ({"$sort": {}}, False),
    ({"$sort": "author.name"}, False),
    ({"author.name": 1}, False),
    ([{"$sort": {"a.b": 1}}], False),
])
def test_sorts_by_relation(reg, sort, expected):
    assert reg.sorts_by_relation(sort) is expected


def ids(items):
    return [it.get("_id") if isinstance(it, dict) else it for it in items]


def test_restore_sort_order_follows_phase_one_ids(reg):
    items = [{"_id": "b"}, {"_id": "a"}, {"_id": "c"}]
    out = reg.restore_sort_order(items, ["a", "b"], {"$sort": {"x": 1}})
    assert ids(out["items"]) == ["a", "b", "c"]
    assert reg.restore_sort_order(items, ["a", "b"])["items"] == items


def test_restore_sort_order_matches_by_identity_key(reg):
    # Object ids match their plain string; integers and floats do not mix.
    items = [{"_id": 2.0, "n": 1}, {"_id": "x", "n": 2}, {"_id": 2, "n": 3}, {"n": 4}, 7, {"_id": None, "n": 6}]
    ids_ = [2, {"$oid": "x"}, None, 2.0, 2]
    out = reg.restore_sort_order(items, ids_, {"$sort": {}})["items"]
    # positions: 2 -> 0 (first occurrence wins), x -> 1, null -> 2, 2.0 -> 3;
    # absent _id and non-objects read as null.
    assert [it["n"] if isinstance(it, dict) else it for it in out] == [3, 2, 4, 7, 6, 1]


def test_restore_sort_order_unknown_ids_stay_last_in_input_order(reg):
    items = [{"_id": "z"}, {"_id": "b"}, {"_id": "y"}, {"_id": "a"}]
    out = reg.restore_sort_order(items, ["a", "b"], {"$sort": {"k": 1}})["items"]
    assert ids(out) == ["a", "b", "z", "y"]


@pytest.mark.parametrize("items, id_list", [
    ([{"_id": "b"}, {"_id": "a"}], ["a"]),
    ([{"_id": "b"}, {"_id": "a"}], []),
    ([{"_id": "b"}, {"_id": "a"}], "ab"),
])
def test_restore_sort_order_needs_two_ids(reg, items, id_list):
    assert reg.restore_sort_order(items, id_list, {"$sort": {"k": 1}})["items"] == items
