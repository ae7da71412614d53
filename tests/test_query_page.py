"""Paging: resolve_page arithmetic, and list queries planned with their count."""
import pytest

PAGED = "User($condition: @c, $skip: @k, $limit: @n) { name }"


@pytest.fixture
def users(reg):
    reg.register({"name": "User", "collection": "users", "fields": {"name": "string", "age": "int"},
                  "relations": {"posts": {"model": "Post", "foreignField": "authorId"}}})
    reg.register({"name": "Post", "collection": "posts", "fields": {"title": "string", "authorId": "string"}})
    reg.register({"name": "Draft", "collection": "drafts", "read": ["creator"], "fields": {"t": "string"}})
    return reg


@pytest.mark.parametrize("params, page, size", [
    (None, 0, 50),
    ({}, 0, 50),
    ({"page": 2.7, "pageSize": 20000}, 2, 5000),
    ({"page": -3}, 0, 50),
    ({"pageSize": None}, 0, 50),
    ({"page": None, "k": 40, "n": 20}, 0, 50),      # page/pageSize win over the directives
    ({"page": "3", "pageSize": " 10 "}, 3, 10),
    ({"page": True, "pageSize": True}, 1, 1),
    ({"pageSize": -5}, 0, -5),                      # no lower bound
    ({"pageSize": 2.5}, 0, 2),
    ({"pageSize": "2.5"}, 0, 2.5),                  # text is not truncated
    ({"page": "1e400"}, 0, 50),                     # not finite: written as 0
    ({"page": [1], "pageSize": {"a": 1}}, 0, 0),
    ({"k": 40, "n": 20}, 2, 20),
    ({"k": 45, "n": 20}, 2, 20),
    ({"k": 40, "n": 0}, 0, 0),
    ({"k": 40}, 0, 50),
    ({"k": None, "n": 20}, 0, 20),
    ({"n": 9000}, 0, 5000),
    ({"k": 10, "n": "abc"}, 0, 0),                  # a truthy limit that reads as 0
])
def test_resolve_page(users, params, page, size):
    got = users.resolve_page(PAGED, params)
    assert got == {"page": page, "pageSize": size}
    assert type(got["pageSize"]) is type(size)


def test_resolve_page_without_directives_and_errors(users):
    assert users.resolve_page("User", {"k": 40, "n": 20}) == {"page": 0, "pageSize": 50}
    # Only the text is read: an unknown model is no error.
    assert users.resolve_page("Nope($limit: @n)", {"n": 7}) == {"page": 0, "pageSize": 7}
    with pytest.raises(RuntimeError):
        users.resolve_page("User {")


def stages(plan):
    return plan["commands"][0]["pipeline"]


def test_page_parameters_bind_skip_and_limit(users):
    plan = users.plan_query_with_count("User($condition: @c) { name }",
                                       {"c": {"age": 3}, "page": 2, "pageSize": 10})
    assert plan["postprocess"]["ast"]["params"] == {
        "condition": "@c", "limit": "@__core_page_limit__", "skip": "@__core_page_skip__"}
    assert stages(plan) == [{"$match": {"age": 3}}, {"$skip": 20}, {"$limit": 10},
                            {"$project": {"_id": 1, "name": 1}}]
    assert plan["countCommand"] == {"collection": "users", "filter": {"age": 3}, "kind": "countDocuments",
                                    "namespace": None, "source": "default"}
    assert plan["hasMore"] is False


def test_page_parameters_overwrite_the_query_own_references(users):
    plan = users.plan_query_with_count(PAGED, {"pageSize": 10, "k": 99, "n": 3})
    assert stages(plan)[:2] == [{"$skip": 0}, {"$limit": 10}]
    assert plan["postprocess"]["ast"]["params"] == {"condition": "@c", "limit": "@n", "skip": "@k"}
    # Without page parameters the query's own paging stays.
    plan = users.plan_query_with_count(PAGED, {"k": 4, "n": 2})
    assert stages(plan)[:2] == [{"$skip": 4}, {"$limit": 2}]
    assert plan["countCommand"]["filter"] == {}


@pytest.mark.parametrize("params, total, more", [
    ({"page": 1, "pageSize": 10}, 21, True),
    ({"page": 1, "pageSize": 10}, 20, False),
    ({"page": 1, "pageSize": 10}, 20.5, True),
    ({"page": 1, "pageSize": 10}, None, False),
    ({}, 51, True),
    ({}, 50, False),
    ({"k": 10, "n": 10}, 21, True),                 # page 1 from the directives
    ({"k": 10, "n": 10}, 20, False),
    ({"pageSize": 0}, 1, True),
    ({"pageSize": -5}, None, True),                 # 0 > (0 + 1) × -5
    ({}, 10 ** 400, True),                          # beyond the float range
    ({}, -10 ** 400, False),
])
def test_has_more(users, params, total, more):
    assert users.plan_query_with_count(PAGED, params, total=total)["hasMore"] is more


def test_count_carries_root_and_owner_condition_only(users):
    me = {"userId": "u1"}
    plan = users.plan_query_with_count("Draft($condition: @c, $limit: @n) { t }", {"c": {"t": "x"}, "n": 1}, me)
    assert plan["countCommand"]["filter"] == {"$and": [{"t": "x"}, {"createdBy": "u1"}]}
    assert stages(plan)[0] == {"$match": {"$and": [{"t": "x"}, {"createdBy": "u1"}]}}
    plan = users.plan_query_with_count("Draft { t }", None, me)
    assert plan["countCommand"]["filter"] == {"$and": [{}, {"createdBy": "u1"}]}
    assert plan["commands"][0]["filter"] == {"createdBy": "u1"}


def test_relation_predicates_are_refused_before_the_context_gate(users):
    users.set_require_context(True)
    with pytest.raises(RuntimeError) as err:
        users.plan_query_with_count("User($condition: @c) { name }", {"c": {"posts": {"$exists": True}}})
    assert err.value.args == ("query_with_count 暂不支持关系聚合谓词条件（§9.6）：total 无法与 items 保持一致，"
                              "请改用 query 并在调用方自行统计",)


def test_total_argument_type(users):
    with pytest.raises(TypeError):
        users.plan_query_with_count("User", total="3")
    with pytest.raises(TypeError):
        users.plan_query_with_count("User", total=True)
