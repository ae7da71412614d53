"""A small host: creates a Registry and joins documents fetched from two sources."""
import quorvel_py


def main() -> None:
    reg = quorvel_py.Registry()
    plan = {
        "sources": [{"key": "posts"}, {"key": "users"}, {"key": "comments"}],
        "join": {"edges": [
            {"rel": "author", "cardinality": "one", "local": "authorId", "foreign": "_id", "key": "users"},
            {"rel": "comments", "cardinality": "many", "local": "_id", "foreign": "postId", "key": "comments"},
        ]},
    }
    posts = [{"_id": 1, "authorId": 7, "title": "hello"}, {"_id": 2, "authorId": 8, "title": "again"}]
    users = [{"_id": 7, "name": "ann"}, {"_id": 8, "name": "bo"}]
    comments = [{"_id": 10, "postId": 1, "text": "nice"}, {"_id": 11, "postId": 1, "text": "+1"}]
    for doc in reg.merge_federated(plan, [posts, users, comments]):
        print(doc)


if __name__ == "__main__":
    main()
