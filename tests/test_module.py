import inspect
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import quorvel_py


def test_module_members_in_order():
    members = [k for k in vars(quorvel_py) if not k.startswith("__")]
    assert members == ["Registry", "system_context"]


def test_system_context_is_a_new_internal_dict():
    a, b = quorvel_py.system_context(), quorvel_py.system_context()
    assert a == {"internal": True} and a is not b


def test_signatures_are_introspectable():
    assert str(inspect.signature(quorvel_py.Registry)) == "()"
    assert str(inspect.signature(quorvel_py.system_context)) == "()"
    reg = quorvel_py.Registry()
    assert str(inspect.signature(reg.set_require_context)) == "(require)"
    assert str(inspect.signature(reg.merge_federated)) == "(plan, results)"
    for name, member in vars(quorvel_py.Registry).items():
        if callable(member) and not name.startswith("__"):
            inspect.signature(member)  # every method carries a text signature
            assert member.__doc__.strip() and member.__text_signature__


def test_require_context_switch(reg):
    assert reg.require_context() is False
    reg.set_require_context(True)
    assert reg.require_context() is True
    reg.set_require_context(require=False)
    assert reg.require_context() is False


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda r: r.set_require_context(1), "set_require_context() argument 'require' must be bool, not int"),
        (lambda r: r.set_require_context(), "set_require_context() missing required argument 'require' (pos 1)"),
        (lambda r: r.set_require_context(True, flag=1), "set_require_context() got an unexpected keyword argument 'flag'"),
        (lambda r: r.set_require_context(True, require=True), "set_require_context() got multiple values for argument 'require'"),
        (lambda r: r.set_require_context(True, False), "set_require_context() takes at most 1 argument (2 given)"),
        (lambda r: r.require_context(1), "require_context() takes at most 0 arguments (1 given)"),
        (lambda r: r.merge_federated({}), "merge_federated() missing required argument 'results' (pos 2)"),
        (lambda r: quorvel_py.Registry(1), "Registry() takes no arguments"),
    ],
)
def test_argument_binding_errors(reg, call, message):
    with pytest.raises(TypeError) as err:
        call(reg)
    assert str(err.value) == message


def test_core_errors_are_runtime_errors_with_the_message(reg):
    with pytest.raises(RuntimeError) as err:
        reg.merge_federated({}, [])
    assert err.value.args == ("联邦计划缺少 sources",)


def test_stubs_are_found_by_mypy(tmp_path):
    mypy = pytest.importorskip("mypy.api")
    script = tmp_path / "use.py"
    script.write_text(textwrap.dedent("""
        import quorvel_py
        r = quorvel_py.Registry()
        r.set_require_context(require=True)
        r.set_require_context(flag=True)
    """))
    out, _, status = mypy.run([str(script), "--no-incremental", "--cache-dir", os.devnull])
    assert status == 1, out
    assert 'Unexpected keyword argument "flag"' in out
    assert out.count("error:") == 1, out


def test_stubs_accept_what_the_conversion_takes(tmp_path):
    """Checks this checkout's stubs (not an installed copy) against typical host code."""
    mypy = pytest.importorskip("mypy.api")
    stubs = tmp_path / "stubs"
    stubs.mkdir()
    repo_stubs = pathlib.Path(__file__).parent.parent / "quorvel_py-stubs" / "__init__.pyi"
    (stubs / "quorvel_py.pyi").write_text(repo_stubs.read_text())
    (tmp_path / "mypy.ini").write_text(f"[mypy]\nmypy_path = {stubs}\n")
    script = tmp_path / "use.py"
    script.write_text(textwrap.dedent("""
        from typing import TypedDict
        import quorvel_py

        class Ctx(TypedDict, total=False):
            userId: str
            roles: list[str]

        reg = quorvel_py.Registry()
        ctx: Ctx = {"userId": "u1"}
        reg.can_read("User", ctx)
        reg.can_write("User", quorvel_py.system_context())
        rows = [{"_id": 1}]
        docs = reg.merge_federated({"sources": [{"key": "0"}]}, (rows,))
        reg.can_read("User", ctx=["not", "a", "mapping"])
    """))
    out, _, status = mypy.run([str(script), "--strict", "--config-file", str(tmp_path / "mypy.ini"),
                               "--no-incremental", "--cache-dir", os.devnull])
    assert status == 1, out
    assert out.count("error:") == 1 and 'Argument "ctx" to "can_read"' in out, out


def test_stubs_match_the_runtime_signatures(tmp_path):
    """Every stub entry exists at runtime with the same parameters, and nothing is missing."""
    pytest.importorskip("mypy.stubtest")
    stubs = tmp_path / "stubs"
    stubs.mkdir()
    repo_stubs = pathlib.Path(__file__).parent.parent / "quorvel_py-stubs" / "__init__.pyi"
    (stubs / "quorvel_py.pyi").write_text(repo_stubs.read_text())
    (tmp_path / "mypy.ini").write_text(f"[mypy]\nmypy_path = {stubs}\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "quorvel_py", "--ignore-disjoint-bases",
         "--mypy-config-file", str(tmp_path / "mypy.ini")],
        capture_output=True, text=True, env=env, cwd=tmp_path,
    )
    assert run.returncode == 0, run.stdout + run.stderr
