"""Route overrides re-target every command of a planning result."""
import pytest


@pytest.fixture
def posts(reg):
    reg.register({"name": "Post", "collection": "posts", "datasource": "main", "namespace": "t1"})
    return reg


@pytest.mark.parametrize("override, source, namespace", [
    (None, "main", "t1"),
    ({}, "main", "t1"),
    ("replica", "main", "t1"),
    ({"source": "replica"}, "replica", "t1"),
    ({"source": ""}, "main", "t1"),
    ({"source": 5}, "main", "t1"),
    ({"namespace": None}, "main", None),
    ({"namespace": "t2"}, "main", "t2"),
    ({"namespace": {"db": 1}}, "main", {"db": 1}),
    ({"source": "", "namespace": "t2"}, "main", "t2"),
    ({"source": "replica", "namespace": None, "other": 1}, "replica", None),
])
def test_override_of_a_single_command(posts, override, source, namespace):
    for cmd in (posts.plan_count("Post", route_override=override),
                posts.plan_exists("Post", route_override=override)):
        assert (cmd["source"], cmd["namespace"]) == (source, namespace)
        assert "other" not in cmd
