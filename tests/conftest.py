import pytest

import quorvel_py


@pytest.fixture
def reg():
    return quorvel_py.Registry()


def copy_through_core(reg, value):
    """Sends a value into the core and back: a one-unit merge returns its documents."""
    return reg.merge_federated({"sources": [{"key": "root"}]}, [[value]])[0]
