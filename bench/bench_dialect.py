"""SQL translation and row restoration, each against the natural baseline:
SQLAlchemy Core building and compiling the same SELECT, and a plain-Python
grouping loop building the same documents."""
import quorvel_py

from common import best_time, print_table

FIELDS = [f"f{i}" for i in range(20)]


def condition():
    """A 20-member filter: equalities, ranges, lists, inequalities and null tests."""
    cond = {}
    for i, f in enumerate(FIELDS):
        kind = i % 5
        if kind == 0:
            cond[f] = i
        elif kind == 1:
            cond[f] = {"$gt": i, "$lte": i * 10}
        elif kind == 2:
            cond[f] = {"$in": [i, i + 1, i + 2]}
        elif kind == 3:
            cond[f] = {"$ne": f"v{i}"}
        else:
            cond[f] = None
    return cond


def sqlalchemy_select(sa, table):
    t = table.alias("t")
    parts = []
    for i, f in enumerate(FIELDS):
        c = t.c[f]
        kind = i % 5
        if kind == 0:
            parts.append(c == i)
        elif kind == 1:
            parts.append(sa.and_(c > i, c <= i * 10))
        elif kind == 2:
            parts.append(c.in_([i, i + 1, i + 2]))
        elif kind == 3:
            parts.append(c != f"v{i}")
        else:
            parts.append(sa.and_(c.is_(None), sa.func.coalesce(t.c.__present, ",").like(f"%,{f},%")))
    cols = [t.c._id, *(t.c[f] for f in FIELDS), t.c.__present.label("__present")]
    return sa.select(*cols).where(sa.and_(*parts))


def translate_cases():
    import sqlalchemy as sa
    from sqlalchemy.dialects import mysql, postgresql, sqlite

    reg = quorvel_py.Registry()
    reg.register({"name": "Item", "collection": "items", "timestamps": False,
                  "fields": {"_id": "string", **{f: "int" for f in FIELDS}}})
    cmd = {"kind": "find", "collection": "items", "filter": condition(), "projection": None}

    meta = sa.MetaData()
    table = sa.Table("items", meta, sa.Column("_id", sa.String, primary_key=True),
                     *(sa.Column(f, sa.Integer) for f in FIELDS), sa.Column("__present", sa.String))
    rows = []
    for name, dialect in [("postgres", postgresql.dialect()), ("mysql", mysql.dialect()),
                          ("sqlite", sqlite.dialect())]:
        ours = best_time(lambda: reg.dialect_translate(name, cmd), repeat=5, number=2000)
        stmt = sqlalchemy_select(sa, table)
        assert len(stmt.compile(dialect=dialect).params) == len(reg.dialect_translate(name, cmd)["stmt"][0]["params"])

        def uncached():
            compiled = sqlalchemy_select(sa, table).compile(dialect=dialect)
            return str(compiled), compiled.params

        cache = {}

        def cached():
            # What a connection does per execution: build, look the compiled
            # form up by cache key, then bind this statement's values.
            s = sqlalchemy_select(sa, table)
            found = s._compile_w_cache(dialect=dialect, compiled_cache=cache, column_keys=[],
                                       for_executemany=False, schema_translate_map=None, linting=0)
            compiled, extracted = found[0], found[1]  # the tuple grew between 2.0 and 2.1
            return compiled.string, compiled.construct_params(extracted_parameters=extracted)

        base_u = best_time(uncached, repeat=5, number=200)
        base_c = best_time(cached, repeat=5, number=500)
        rows.append((f"translate find, 20-member filter ({name})", ours, "SQLAlchemy compile", base_u))
        rows.append((f"translate find, 20-member filter ({name})", ours, "SQLAlchemy cached", base_c))
    return rows


SHAPE = {
    "columns": [
        {"alias": "_id", "path": ["_id"]},
        {"alias": "title", "path": ["title"]},
        {"alias": "views", "path": ["views"]},
        {"alias": "published", "path": ["published"], "bool": True},
        {"alias": "c_id", "path": ["comments", "_id"], "isArray": True, "ones": [False]},
        {"alias": "c_text", "path": ["comments", "text"], "isArray": True, "ones": [False]},
        {"alias": "c_score", "path": ["comments", "score"], "isArray": True, "ones": [False]},
    ],
    "present": "__present",
}


def joined_rows(parents=10_000, children=10):
    rows = []
    for p in range(parents):
        for c in range(children):
            rows.append({"_id": f"post{p:06d}", "title": f"title {p}", "views": p * 7, "published": p % 2,
                         "c_id": p * children + c, "c_text": f"comment {c}", "c_score": c * 0.5,
                         "__present": ",_id,published,title,views,"})
    return rows


def python_restore(rows):
    """The loop a host would write: group by _id, gather the children."""
    by_id = {}
    out = []
    for r in rows:
        doc = by_id.get(r["_id"])
        if doc is None:
            doc = {"_id": r["_id"], "comments": [], "published": r["published"] == 1, "title": r["title"],
                   "views": r["views"]}
            by_id[r["_id"]] = doc
            out.append(doc)
        if r["c_id"] is not None:
            doc["comments"].append({"_id": r["c_id"], "score": r["c_score"], "text": r["c_text"]})
    return out


def restore_case():
    reg = quorvel_py.Registry()
    rows = joined_rows()
    assert reg.restore_rows(SHAPE, rows) == python_restore(rows)
    ours = best_time(lambda: reg.restore_rows(SHAPE, rows), repeat=5)
    base = best_time(lambda: python_restore(rows), repeat=5)
    return ("restore_rows, 10000 parents x 10 children", ours, "plain-Python grouping loop", base)


def main():
    print_table("dialect: SQL translation and row restoration", [*translate_cases(), restore_case()])


if __name__ == "__main__":
    main()
