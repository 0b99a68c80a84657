"""The type stubs: they describe every public name of the module with its exact
parameters, and mypy accepts the typed usage example against the installed stubs."""

import ast
import importlib.util
import inspect
import os
import site
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import vexlor_go as vg

HERE = Path(__file__).resolve().parent
SOURCE_STUB = HERE.parents[1] / "stubs" / "vexlor_go-stubs" / "__init__.pyi"
USAGE = HERE / "typed_usage.py"
CLASSES = [vg.Board, vg.Game, vg.Move, vg.GameOutcome]


def installed_stub():
    dirs = list(site.getsitepackages()) + [site.getusersitepackages()]
    dirs += [sysconfig.get_paths()[k] for k in ("platlib", "purelib")]
    for d in dict.fromkeys(dirs):
        path = Path(d) / "vexlor_go-stubs" / "__init__.pyi"
        if path.is_file():
            return path
    return None


@pytest.fixture(scope="module")
def stub():
    return ast.parse(SOURCE_STUB.read_text(), filename=str(SOURCE_STUB))


def top_level(tree):
    names = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            names[node.name] = node
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names[node.target.id] = node
        elif isinstance(node, ast.Assign):
            for t in node.targets:
                if isinstance(t, ast.Name):
                    names[t.id] = node
    return names


def stub_methods(cls_node):
    return {n.name: n for n in cls_node.body if isinstance(n, ast.FunctionDef)}


def decorators(fn):
    return {ast.unparse(d) for d in fn.decorator_list}


class TestStubSource:
    def test_all_matches_the_module(self, stub):
        node = top_level(stub)["__all__"]
        assert ast.literal_eval(node.value) == vg.__all__

    def test_every_public_name_is_declared(self, stub):
        declared = top_level(stub)
        runtime = {n for n in dir(vg) if not n.startswith("_")}
        assert runtime <= declared.keys()
        for name in ("BLACK", "WHITE", "TOTAL_INPUT_PLANES"):
            node = declared[name]
            assert isinstance(node, ast.AnnAssign) and "Final" in ast.unparse(node.annotation)
            if node.value is not None:
                assert ast.literal_eval(node.value) == getattr(vg, name)

    @pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
    def test_class_members(self, stub, cls):
        node = top_level(stub)[cls.__name__]
        assert "final" in decorators(node)
        methods = stub_methods(node)
        runtime = {n for n in cls.__dict__ if not n.startswith("_")}
        declared = {n for n in methods if not n.startswith("_")}
        assert runtime == declared

    @pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
    def test_parameters_and_static_methods(self, stub, cls):
        methods = stub_methods(top_level(stub)[cls.__name__])
        for name, raw in cls.__dict__.items():
            if name.startswith("_"):
                continue
            fn = methods[name]
            is_static = isinstance(raw, staticmethod)
            assert ("staticmethod" in decorators(fn)) == is_static, name
            params = list(inspect.signature(getattr(cls, name)).parameters)
            assert (params[:1] == ["self"]) != is_static, name
            args = fn.args
            assert [a.arg for a in args.args] == params, name
            assert not (args.posonlyargs or args.kwonlyargs or args.vararg or args.kwarg), name
            defaults = [p.default for p in inspect.signature(getattr(cls, name)).parameters.values()
                        if p.default is not inspect.Parameter.empty]
            assert [ast.literal_eval(d) for d in args.defaults] == defaults, name
            assert fn.returns is not None, name
            assert all(a.annotation is not None for a in args.args if a.arg != "self"), name

    @pytest.mark.parametrize("cls", [vg.Board, vg.Game], ids=lambda c: c.__name__)
    def test_constructor(self, stub, cls):
        init = stub_methods(top_level(stub)[cls.__name__])["__init__"]
        expected = ["self"] + list(inspect.signature(cls).parameters)
        assert [a.arg for a in init.args.args] == expected == ["self", "width", "height"]

    @pytest.mark.parametrize("cls", [vg.Move, vg.GameOutcome], ids=lambda c: c.__name__)
    def test_value_classes_have_no_constructor(self, stub, cls):
        assert "__init__" not in stub_methods(top_level(stub)[cls.__name__])

    def test_hashability(self, stub):
        outcome = top_level(stub)["GameOutcome"]
        hash_decl = [n for n in outcome.body if isinstance(n, ast.AnnAssign) and ast.unparse(n.target) == "__hash__"]
        assert hash_decl and "None" in ast.unparse(hash_decl[0].annotation)
        assert "__hash__" in stub_methods(top_level(stub)["Move"])
        assert "__hash__" in stub_methods(top_level(stub)["Game"])


def test_usage_example_runs():
    spec = importlib.util.spec_from_file_location("typed_usage", USAGE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    module.main()


@pytest.mark.skipif(os.environ.get("VEXLOR_SANITIZED") == "1", reason="mypy is not run under the sanitizers")
def test_mypy_accepts_the_usage_example(request, tmp_path):
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed")
    installed = installed_stub()
    if installed is None:
        pytest.skip("the vexlor_go-stubs package is not installed")
    if installed.read_text() != SOURCE_STUB.read_text():
        pytest.skip("the installed stubs are older than the source tree")
    pytest_cache = getattr(request.config, "cache", None)
    cache = pytest_cache.mkdir("mypy") if pytest_cache else tmp_path / "cache"
    cmd = [sys.executable, "-m", "mypy", "--strict", "--warn-unused-ignores", "--cache-dir", str(cache),
           "--no-color-output", str(USAGE)]
    # An empty working directory: nothing there can shadow the installed stubs.
    run = subprocess.run(cmd, cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
