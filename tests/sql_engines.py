"""Fixtures that run translated statements on real engines: SQLite in
process, PostgreSQL and MariaDB as throwaway servers (see dbservers).

Outside CI a server that cannot start skips its tests with the reason;
under CI=true it fails them.
"""
import os
import re
import sqlite3

import pytest

import dbservers

BACKENDS = ["sqlite", "postgres", "mysql"]

# Column types per declared field type; object and array fields have no column.
COLUMN_TYPES = {
    "sqlite": {"string": "TEXT", "int": "INTEGER", "double": "REAL", "boolean": "INTEGER"},
    "postgres": {"string": "TEXT", "int": "BIGINT", "double": "DOUBLE PRECISION", "boolean": "BOOLEAN"},
    "mysql": {"string": "VARCHAR(191)", "int": "BIGINT", "double": "DOUBLE", "boolean": "BOOLEAN"},
}


def _unavailable(what, exc):
    if os.environ.get("CI") == "true":
        pytest.fail(f"{what} could not be started under CI: {exc}")
    pytest.skip(f"{what} not available: {exc}")


@pytest.fixture(scope="session")
def pg_server():
    try:
        server = dbservers.start_postgres()
    except dbservers.ServerUnavailable as exc:
        _unavailable("PostgreSQL", exc)
    yield server
    server.stop()


@pytest.fixture(scope="session")
def mariadb_server():
    try:
        server = dbservers.start_mariadb()
    except dbservers.ServerUnavailable as exc:
        _unavailable("MariaDB", exc)
    yield server
    server.stop()


def presence_list(doc):
    return "," + "".join(f"{k}," for k in sorted(doc))


class Engine:
    """One database on one backend: DDL, loading documents, running statements."""

    backend = ""
    quote_char = '"'

    def quote(self, name):
        q = self.quote_char
        return q + name.replace(q, q + q) + q

    def table(self, collection, namespace=None):
        return (self.quote(namespace) + "." if namespace else "") + self.quote(collection)

    def create_namespace(self, namespace):
        raise NotImplementedError

    def load(self, defn, docs, namespace=None):
        """Creates the table of a schema definition (one column per declared
        scalar field plus "__present") and inserts the documents."""
        types = COLUMN_TYPES[self.backend]
        columns = [(name, types[ftype]) for name, ftype in sorted(defn["fields"].items()) if ftype in types]
        table = self.table(defn.get("collection", defn["name"]), namespace)
        cols = [f"{self.quote(name)} {sql_type}" + (" PRIMARY KEY" if name == "_id" else "")
                for name, sql_type in columns]
        self.ddl(f"CREATE TABLE {table} ({', '.join(cols)}, __present TEXT)")
        names = [name for name, _ in columns]
        col_list = ", ".join(self.quote(n) for n in names + ["__present"])
        for doc in docs:
            values = [doc.get(n) for n in names] + [presence_list(doc)]
            marks = ", ".join(self.mark(i + 1) for i in range(len(values)))
            self.run(f"INSERT INTO {table} ({col_list}) VALUES ({marks})", values)

    def mark(self, n):
        return "?"


class SqliteEngine(Engine):
    backend = "sqlite"

    def __init__(self):
        self.conn = sqlite3.connect(":memory:")
        # Hosts supply REGEXP themselves: SQLite only declares the operator.
        self.conn.create_function("REGEXP", 2, _regexp, deterministic=True)

    def create_namespace(self, namespace):
        self.conn.execute(f"ATTACH DATABASE ':memory:' AS {self.quote(namespace)}")

    def ddl(self, text):
        self.conn.execute(text)

    def run(self, text, params):
        cur = self.conn.execute(text, params)
        if cur.description is None:
            return []
        names = [d[0] for d in cur.description]
        return [dict(zip(names, row)) for row in cur.fetchall()]

    def close(self):
        self.conn.close()


def _regexp(pattern, value):
    return value is not None and re.search(pattern, str(value)) is not None


class PostgresEngine(Engine):
    backend = "postgres"

    def __init__(self, server, dbname):
        import psycopg
        from psycopg.rows import dict_row

        with server.connect(autocommit=True) as admin:
            admin.execute(f'CREATE DATABASE "{dbname}"')
        self.conn = server.connect(dbname=dbname, autocommit=True)
        # Statements carry $n placeholders, which the raw cursor passes through.
        self.cursor = psycopg.RawCursor(self.conn, row_factory=dict_row)

    def mark(self, n):
        return f"${n}"

    def create_namespace(self, namespace):
        self.ddl(f"CREATE SCHEMA {self.quote(namespace)}")

    def ddl(self, text):
        self.cursor.execute(text)

    def run(self, text, params):
        self.cursor.execute(text, params)
        return self.cursor.fetchall() if self.cursor.description else []

    def close(self):
        self.conn.close()


class MysqlEngine(Engine):
    backend = "mysql"
    quote_char = "`"

    def __init__(self, server, dbname):
        import pymysql

        self.conn = server.connect(autocommit=True, cursorclass=pymysql.cursors.DictCursor)
        with self.conn.cursor() as cur:
            cur.execute(f"CREATE DATABASE `{dbname}`")
            cur.execute(f"USE `{dbname}`")

    def create_namespace(self, namespace):
        self.ddl(f"CREATE DATABASE {self.quote(namespace)}")

    def ddl(self, text):
        with self.conn.cursor() as cur:
            cur.execute(text)

    def run(self, text, params):
        with self.conn.cursor() as cur:
            # Without arguments the driver sends the text as it is; the values
            # are inlined here with the driver's own escaping.
            cur.execute(inline_qmarks(text, params, self.conn.escape))
            return list(cur.fetchall()) if cur.description else []

    def close(self):
        self.conn.close()


def inline_qmarks(text, params, escape):
    """Replaces each "?" outside quotes with the escaped value, in order."""
    out, values, quote = [], iter(params), None
    for ch in text:
        if quote:
            quote = None if ch == quote else quote  # a doubled quote re-enters at once
        elif ch in "'`\"":
            quote = ch
        elif ch == "?":
            out.append(escape(next(values)))
            continue
        out.append(ch)
    return "".join(out)


_counter = iter(range(10**6))


@pytest.fixture(scope="module", params=BACKENDS)
def sql_engine(request):
    """A fresh, empty database on each backend in turn."""
    name = f"qv_{next(_counter)}"
    if request.param == "sqlite":
        engine = SqliteEngine()
    elif request.param == "postgres":
        engine = PostgresEngine(request.getfixturevalue("pg_server"), name)
    else:
        engine = MysqlEngine(request.getfixturevalue("mariadb_server"), name)
    yield engine
    engine.close()
