"""A host on embedded SQLite: reads planned by the Registry, translated to
SQL, run with sqlite3 and turned back into documents.

For every read the host does four things:

    cmd = reg.plan_query(gql, params)["commands"][0]   # or plan_count, or a command of its own
    stmt = reg.dialect_translate("sqlite", cmd)["stmt"][0]
    rows = <run stmt["text"] with stmt["params"]>        # the host's database
    docs = reg.restore_rows(stmt["rowShape"], rows)      # nested documents again

Every table has one column per declared scalar field plus "__present", the
list of fields the stored document has, which tells a stored null from a
field the document never had.

Run with: python3 examples/sqlite_host.py
"""
import re
import sqlite3

import quorvel_py

SCHEMAS = [
    {
        "name": "Author",
        "collection": "authors",
        "fields": {"name": "string", "bio": "string"},
    },
    {
        "name": "Post",
        "collection": "posts",
        "fields": {"title": "string", "authorId": "string", "published": "boolean",
                   "views": {"type": "int", "default": 0}, "tags": "array"},
    },
]

DOCUMENTS = {
    "authors": [{"_id": "a1", "name": "Ann", "bio": None},  # a bio stored as null
                {"_id": "a2", "name": "Bo"}],                 # no bio at all
    "posts": [{"_id": "p1", "authorId": "a1", "title": "Hello", "published": True, "views": 12},
              {"_id": "p2", "authorId": "a1", "title": "Draft", "published": False, "views": 3},
              {"_id": "p3", "authorId": "a2", "title": "Notes", "published": True}],
}

SQL_TYPES = {"string": "TEXT", "int": "INTEGER", "number": "REAL", "boolean": "INTEGER"}


def field_type(definition):
    return definition if isinstance(definition, str) else definition.get("type", "")


def columns(schema):
    """_id, each declared scalar field and the timestamp fields the Registry adds."""
    fields = {"_id": "string", "createdAt": "number", "updatedAt": "number"}
    fields.update({name: field_type(d) for name, d in schema["fields"].items()})
    return {name: SQL_TYPES[t] for name, t in fields.items() if t not in ("array", "object")}


def quote(name):
    return '"' + name.replace('"', '""') + '"'


def create_tables(db):
    for schema in SCHEMAS:
        table, cols = quote(schema["collection"]), columns(schema)
        db.execute(f"CREATE TABLE {table} ({', '.join(f'{quote(n)} {t}' for n, t in cols.items())}, __present TEXT)")
        for doc in DOCUMENTS[schema["collection"]]:
            names = [n for n in cols if n in doc]
            present = "," + "".join(f"{n}," for n in sorted(doc))  # ,_id,title,views,
            marks = ", ".join("?" * (len(names) + 1))
            db.execute(f"INSERT INTO {table} ({', '.join(map(quote, names))}, __present) VALUES ({marks})",
                       [doc[n] for n in names] + [present])


def run(reg, db, cmd):
    """Translates one command, runs it and restores its rows."""
    out = reg.dialect_translate("sqlite", cmd)
    (stmt,) = out["stmt"]
    cursor = db.execute(stmt["text"], stmt["params"])
    names = [d[0] for d in cursor.description]
    rows = [dict(zip(names, row)) for row in cursor.fetchall()]
    return stmt, rows


def main() -> None:
    reg = quorvel_py.Registry()
    for schema in SCHEMAS:
        reg.register(schema)

    db = sqlite3.connect(":memory:")
    # SQLite declares the REGEXP operator; the host supplies the function.
    db.create_function("REGEXP", 2, lambda pattern, value: value is not None and re.search(pattern, value) is not None)
    create_tables(db)

    # A planned read; finalizing fills the default of views, which p3 never stored.
    plan = reg.plan_query("Post($condition: @c) { title views }", {"c": {"published": True}})
    stmt, rows = run(reg, db, plan["commands"][0])
    print("SQL:", stmt["text"], stmt["params"])
    docs = reg.restore_rows(stmt["rowShape"], rows)
    print("published posts:", reg.prepare_query(plan["postprocess"], docs)["items"])

    # A planned count.
    _, rows = run(reg, db, reg.plan_count("Post", {"views": {"$gte": 10}}))
    print("posts with 10 views or more:", rows[0]["COUNT(*)"])

    # A command written by hand: a stored null is kept, an absent field stays absent.
    cmd = {"kind": "find", "collection": "authors", "source": "default", "namespace": None,
           "filter": {"name": {"$regex": "^[AB]"}}, "projection": {"name": 1, "bio": 1}}
    stmt, rows = run(reg, db, cmd)
    print("authors:", reg.restore_rows(stmt["rowShape"], rows))


if __name__ == "__main__":
    main()
