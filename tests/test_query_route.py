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


@pytest.fixture
def blog(posts):
    posts.register({"name": "User", "collection": "users", "datasource": "main",
                    "fields": {"name": "string", "kind": "string", "collection": "string"},
                    "relations": {"posts": {"model": "Post", "foreignField": "authorId"}}})
    return posts


def test_override_reaches_every_command_of_a_plan(blog):
    plan = blog.plan_query_with_count("User($limit: @n) { name posts { _id } }", {"n": 2},
                                      route_override={"source": "replica", "namespace": None})
    assert plan["mode"] == "two_phase"
    for cmd in plan["commands"] + [plan["countCommand"]]:
        assert (cmd["source"], cmd["namespace"]) == ("replica", None)
    # Lookups inside the pipeline are not commands.
    assert "source" not in plan["commands"][1]["pipeline"][1]["$lookup"]
    assert plan["hasMore"] is False


def test_override_leaves_the_callers_data_alone(blog):
    # A filter that looks like a command is part of the command, not another one.
    condition = {"kind": "news", "collection": "spring"}
    plan = blog.plan_query("User($condition: @c) { name }", {"c": condition},
                           route_override={"source": "replica", "namespace": "t9"})
    cmd = plan["commands"][0]
    assert cmd["filter"] == condition
    assert (cmd["source"], cmd["namespace"]) == ("replica", "t9")
    assert blog.plan_exists("User", condition, {"source": "replica"})["filter"] == condition


def test_override_leaves_the_plan_data_alone(reg):
    # Relations and sort keys named like a command's keys are the query's own.
    reg.register({"name": "Item", "collection": "items", "fields": {"x": "string"}})
    reg.register({"name": "Shelf", "collection": "shelves",
                  "relations": {"kind": {"model": "Item", "foreignField": "shelfId"},
                                "collection": {"model": "Item", "foreignField": "shelfId"}}})
    gql = "Shelf($sort: @s, $limit: @n) { kind { x } collection { x } }"
    params = {"s": {"kind": 1, "collection": 1}, "n": 2}
    plain = reg.plan_query(gql, params)
    routed = reg.plan_query(gql, params, route_override={"source": "replica", "namespace": None})
    assert routed["mode"] == "two_phase"
    assert [c["source"] for c in routed["commands"]] == ["replica", "replica"]
    assert routed["postprocess"] == plain["postprocess"]
    assert routed["sort"] == plain["sort"] == {"$sort": {"collection": 1, "kind": 1}}
    doc = {"_id": "s1", "kind": [{"x": "a"}], "collection": []}
    assert reg.prepare_query(routed["postprocess"], [doc])["items"] == [doc]
