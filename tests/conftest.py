import pytest

import quorvel_py


@pytest.fixture
def reg():
    return quorvel_py.Registry()


def copy_through_core(reg, value):
    """Sends a value into the core and back: a one-unit merge returns its documents."""
    return reg.merge_federated({"sources": [{"key": "root"}]}, [[value]])[0]


# Real-engine fixtures (sql_engine, pg_server, mariadb_server).
from sql_engines import mariadb_server, pg_server, sql_engine  # noqa: E402,F401
