"""Runs planned read commands on an in-memory document engine, as a host does."""
import pytest

mongomock_ng = pytest.importorskip("mongomock_ng")

PHASE1_IDS = "{{phase1.ids}}"


def new_db():
    return mongomock_ng.MongoClient()["blog"]


def fill_ids(value, ids):
    if value == PHASE1_IDS:
        return list(ids)
    if isinstance(value, list):
        return [fill_ids(v, ids) for v in value]
    if isinstance(value, dict):
        return {k: fill_ids(v, ids) for k, v in value.items()}
    return value


def run_command(db, cmd):
    coll = db[cmd["collection"]]
    kind = cmd["kind"]
    if kind == "find":
        return list(coll.find(cmd["filter"], cmd["projection"]))
    if kind == "findOne":
        return coll.find_one(cmd["filter"], cmd["projection"])
    if kind == "aggregate":
        return list(coll.aggregate(cmd["pipeline"]))
    if kind == "countDocuments":
        return coll.count_documents(cmd["filter"])
    raise AssertionError(f"not a read command: {kind}")


def run_plan(reg, db, plan):
    """The list items of a query plan, two phases joined the host's way."""
    commands = plan["commands"]
    if plan["mode"] != "two_phase":
        return run_command(db, commands[0])
    ids = [doc["_id"] for doc in run_command(db, commands[0])]
    second = fill_ids(commands[1], ids)
    items = run_command(db, second)
    return reg.restore_sort_order(items, ids, plan["sort"])["items"]
