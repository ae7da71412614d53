"""Counts and existence checks: one scalar command each."""
import pytest

AUTHOR_ONLY = "count 不支持关系聚合谓词条件（§9.6）：标量计数无法表达关系谓词，请改用 query 并在调用方自行统计"
EXISTS_REL = "exists 不支持关系聚合谓词条件（§9.6）：标量查询无法表达关系谓词，请改用 query 并自行判断是否有结果"


@pytest.fixture
def blog(reg):
    reg.register({"name": "User", "collection": "users"})
    reg.register({
        "name": "Post", "collection": "posts", "datasource": "main", "namespace": "",
        "fields": {"title": "string", "meta": "object", "tags": "array"},
        "relations": {"author": {"model": "User", "type": "one", "localField": "authorId"}},
    })
    reg.register({"name": "Note", "collection": "notes", "read": ["creator"], "namespace": "t1"})
    return reg


def test_count_commands(blog):
    assert blog.plan_count("Post") == {
        "collection": "posts", "filter": {}, "kind": "countDocuments", "namespace": None, "source": "main"}
    assert blog.plan_count("Post", {"title": "a"})["filter"] == {"title": "a"}
    assert blog.plan_count("Note", None, {"userId": "u"}) == {
        "collection": "notes", "filter": {"$and": [{}, {"createdBy": "u"}]}, "kind": "countDocuments",
        "namespace": "t1", "source": "default"}
    assert blog.plan_count("Note", {"a": 1}, {"userId": "u"})["filter"] == {
        "$and": [{"a": 1}, {"createdBy": "u"}]}
    # No context: no owner condition, even with the require-context switch on.
    blog.set_require_context(True)
    assert blog.plan_count("Note")["filter"] == {}


def test_exists_fetches_only_the_id(blog):
    assert blog.plan_exists("Post") == {
        "collection": "posts", "filter": {}, "kind": "findOne", "namespace": None,
        "projection": {"_id": 1}, "source": "main"}
    assert blog.plan_exists("Note", {"title": "x"})["filter"] == {"title": "x"}
    blog.set_require_context(True)
    assert blog.plan_exists("Note")["filter"] == {}


@pytest.mark.parametrize("condition, message", [
    ({"author": {}}, None),
    ({"$or": [{"title": 1}, {"author": {"$exists": True}}]}, None),
    ({"x": {"$where": "1"}}, "条件包含被拒绝的操作符 $where（服务端执行类，命中拒绝名单）：请改用结构化条件"),
    ({"$and": []}, "$and 逻辑组为空：拒绝生成无条件的全表查询（请在组内提供至少一个条件）"),
    ({"meta": 1}, '对象字段 "meta" 不支持过滤条件（U2/D2：所有后端含 Mongo 统一显式拒绝）'),
    ({"tags": "a"}, '数组字段 "tags" 不支持过滤条件（U1/D2：所有后端含 Mongo 统一显式拒绝）'),
])
def test_refusals(blog, condition, message):
    with pytest.raises(RuntimeError) as count_err:
        blog.plan_count("Post", condition)
    with pytest.raises(RuntimeError) as exists_err:
        blog.plan_exists("Post", condition)
    assert count_err.value.args[0] == (message or AUTHOR_ONLY)
    assert exists_err.value.args[0] == (message or EXISTS_REL)


def test_condition_checked_before_the_model(blog):
    with pytest.raises(RuntimeError, match="被拒绝的操作符 \\$where"):
        blog.plan_count("Nope", {"$where": "x"})
    with pytest.raises(RuntimeError, match="^Schema 未注册: Nope$"):
        blog.plan_count("Nope", {"a": 1})
    with pytest.raises(RuntimeError, match="^Schema 未注册: Nope$"):
        blog.plan_exists("Nope")


def test_argument_types(blog):
    with pytest.raises(TypeError):
        blog.plan_count(1)
    with pytest.raises(TypeError):
        blog.plan_exists("Post", {"a": {1, 2}})
    with pytest.raises(TypeError):
        blog.plan_exists("Post", None, None, None)
