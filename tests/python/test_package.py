"""The package as a user discovers it: its version, the public names in velmora.backtest, the signatures
that inspect shows (against the type stubs), the reprs, and the date kinds every date argument takes."""

import ast
import datetime
import importlib
import inspect
import os
import re

import numpy as np
import pandas as pd
import pytest

import velmora
import velmora.backtest
from velmora import singleton
from velmora._http import HttpClient
from velmora.sqlite_factor_service import SqliteFactorService
from velmora.backtest import _depot, _payload, _prepare, _store
from velmora.backtest._prepare import BinaryPreparedDataStore, GroupPreparedDataBuilder

STUBBED_MODULES = ["velmora.singleton", "velmora.sqlite_factor_service", "velmora._http",
                   "velmora.backtest._prepare", "velmora.backtest._store", "velmora.backtest._depot"]
# Stub-only names: the protocol a Python factor service satisfies has no runtime class.
STUB_ONLY = {"FactorServiceLike"}


def test_the_version_is_the_projects():
    with open(os.path.join(os.path.dirname(__file__), "..", "..", "CMakeLists.txt"), encoding="utf-8") as f:
        expected = re.search(r"project\(velmora-backtest VERSION ([0-9.]+)", f.read()).group(1)
    assert velmora.__version__ == expected


def test_every_public_name_is_importable_from_velmora_backtest_as_the_same_object():
    sources = {name: module for module in (_prepare, _store, _depot, _payload) for name in dir(module)}
    assert velmora.backtest.__all__
    for name in velmora.backtest.__all__:
        assert getattr(velmora.backtest, name) is getattr(sources[name], name), name
    for name in ("GroupPreparedDataBuilder", "BinaryPreparedDataStore", "download_benchmark_package"):
        assert name in velmora.backtest.__all__


def stub_path(module_name):
    module = importlib.import_module(module_name)
    return os.path.splitext(module.__file__)[0].split(".cpython")[0] + ".pyi"


def stub_parameters(function):
    """(name, kind, default) of every parameter of a stub's def, `self` included; a default of `...` is not
    compared."""
    args = function.args
    out = []
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    for i, (arg, default) in enumerate(zip(positional, defaults)):
        kind = "POSITIONAL_ONLY" if i < len(args.posonlyargs) else "POSITIONAL_OR_KEYWORD"
        out.append((arg.arg, kind, default))
    for arg, default in zip(args.kwonlyargs, args.kw_defaults):
        out.append((arg.arg, "KEYWORD_ONLY", default))
    return out


def stubbed_callables():
    """(label, stub def, runtime object, role, class name) of every public callable; the role is "function",
    "constructor" (the runtime object is the class) or "method" (the function as the class holds it)."""
    for module_name in STUBBED_MODULES:
        module = importlib.import_module(module_name)
        with open(stub_path(module_name), encoding="utf-8") as f:
            tree = ast.parse(f.read())
        for node in tree.body:
            if isinstance(node, ast.FunctionDef):
                yield module_name + "." + node.name, node, getattr(module, node.name), "function", None
            elif isinstance(node, ast.ClassDef) and node.name not in STUB_ONLY:
                cls = getattr(module, node.name)
                for item in node.body:
                    if not isinstance(item, ast.FunctionDef) or item.decorator_list:
                        continue
                    label = module_name + "." + node.name + "." + item.name
                    if item.name == "__init__":
                        yield label, item, cls, "constructor", node.name
                    elif not item.name.startswith("_"):
                        yield label, item, getattr(cls, item.name), "method", node.name


CALLABLES = list(stubbed_callables())


def stub_classes(module_name):
    with open(stub_path(module_name), encoding="utf-8") as f:
        return {node.name for node in ast.parse(f.read()).body if isinstance(node, ast.ClassDef)}


@pytest.mark.parametrize("stub,runtime,role", [c[1:4] for c in CALLABLES], ids=[c[0] for c in CALLABLES])
def test_the_runtime_signature_matches_the_stub(stub, runtime, role):
    expected = stub_parameters(stub)
    got = list(inspect.signature(runtime).parameters.values())
    if role != "function":
        assert expected and expected[0][0] == "self", "a stub method takes self first"
        expected = expected[1:]
    if role == "method":
        # The class's function takes the instance first, as `self`; a compiled one only positionally, which
        # the stub's plain `self` does not say, so only its name is compared.
        assert got and got[0].name == "self"
        assert got[0].kind in (inspect.Parameter.POSITIONAL_ONLY, inspect.Parameter.POSITIONAL_OR_KEYWORD)
        got = got[1:]
    assert [(p.name, p.kind.name) for p in got] == [(name, kind) for name, kind, _ in expected]
    for parameter, (name, _, default) in zip(got, expected):
        if default is None:
            assert parameter.default is inspect.Parameter.empty, name
        elif not (isinstance(default, ast.Constant) and default.value is Ellipsis):
            assert parameter.default == ast.literal_eval(default), name


# An instance of every stubbed class that has methods, to read the signatures of bound methods on.
INSTANCES = {
    "GroupPreparedDataBuilder": lambda request, tmp_path: GroupPreparedDataBuilder("20240101", "20241231"),
    "BinaryPreparedDataStore": lambda request, tmp_path: BinaryPreparedDataStore(tmp_path / "s"),
    "BinaryPreparedDataStoreBase": lambda request, tmp_path: _store.BinaryPreparedDataStoreBase(
        tmp_path / "b", dict(_prepare.BASE_MATRIX_DTYPE), _prepare.PREPARED_DATA_VERSION, "float64"),
    "HttpClient": lambda request, tmp_path: HttpClient("https://cloud.example.com"),
    "FactorService": lambda request, tmp_path: SqliteFactorService(request.getfixturevalue("sample_db")),
}
METHODS = [c for c in CALLABLES if c[3] == "method"]


@pytest.mark.parametrize("runtime,class_name,name", [(c[2], c[4], c[1].name) for c in METHODS],
                         ids=[c[0] for c in METHODS])
def test_a_bound_method_has_its_functions_signature_without_self(request, tmp_path, runtime, class_name, name):
    bound = getattr(INSTANCES[class_name](request, tmp_path), name)
    unbound = list(inspect.signature(runtime).parameters.values())
    assert list(inspect.signature(bound).parameters.values()) == unbound[1:]


def test_the_stubs_cover_every_public_callable_of_the_modules():
    covered = {label for label, *_ in CALLABLES}
    for module_name in STUBBED_MODULES:
        module = importlib.import_module(module_name)
        for name, value in vars(module).items():
            if name.startswith("_") or not callable(value) or getattr(value, "__module__", module_name) != module_name:
                continue
            if inspect.isclass(value):
                assert name in stub_classes(module_name), name
            else:
                assert module_name + "." + name in covered, name


def test_reprs_say_what_the_objects_are(tmp_path):
    assert repr(BinaryPreparedDataStore(tmp_path / "s")) == "BinaryPreparedDataStore(%r)" % str(tmp_path / "s")
    assert repr(GroupPreparedDataBuilder("2024-01-01", 20241231)) == "GroupPreparedDataBuilder('20240101', '20241231')"
    assert repr(HttpClient("https://cloud.example.com")) == "HttpClient('https://cloud.example.com')"
    secret = HttpClient("https://cloud.example.com", "s3cret-token")
    assert repr(secret) == "HttpClient('https://cloud.example.com', token=<set>)"


# Every kind a date argument takes, and the canonical date it stands for.
DATE_KINDS = [
    ("text", "2024-01-03", "20240103"),
    ("compact text", "20240103", "20240103"),
    ("int", 20240103, "20240103"),
    ("numpy int", np.int64(20240103), "20240103"),
    ("datetime.date", datetime.date(2024, 1, 3), "20240103"),
    ("datetime.datetime", datetime.datetime(2024, 1, 3, 15, 30), "20240103"),
    ("pandas.Timestamp", pd.Timestamp("2024-01-03 09:30"), "20240103"),
    ("numpy.datetime64 day", np.datetime64("2024-01-03"), "20240103"),
    ("numpy.datetime64 ns", np.datetime64("2024-01-03T23:59:59.999999999"), "20240103"),
]


@pytest.mark.parametrize("value,expected", [c[1:] for c in DATE_KINDS], ids=[c[0] for c in DATE_KINDS])
def test_the_builder_takes_every_date_kind(value, expected):
    assert GroupPreparedDataBuilder(value, value).default_start == expected
    assert GroupPreparedDataBuilder("20240101", value).end_date == expected


@pytest.mark.parametrize("value,expected", [c[1:] for c in DATE_KINDS], ids=[c[0] for c in DATE_KINDS])
def test_load_takes_every_date_kind_as_the_same_bounds(tmp_path, value, expected):
    dates = ["20240102", "20240103", "20240104"]
    close = pd.DataFrame(np.arange(6.0).reshape(3, 2), index=pd.Index(dates, dtype=object),
                         columns=pd.Index(["000001", "000002"], dtype=object))
    store = BinaryPreparedDataStore(tmp_path / "s", [])
    store.write({"version": 1, "meta": {}, "data": {"close_price": close}})
    from_start = store.load(start_date=value)["data"]["close_price"]
    to_end = store.load(end_date=value)["data"]["close_price"]
    assert list(from_start.index) == ["20240103", "20240104"]
    assert list(to_end.index) == ["20240102", "20240103"]


def test_missing_dates_are_left_to_the_librarys_checks():
    with pytest.raises(TypeError) as caught:
        GroupPreparedDataBuilder(np.datetime64("NaT"), "20241231")
    assert caught.value.args[0] == "start_date must be a text, not numpy.datetime64"
    with pytest.raises(ValueError):
        GroupPreparedDataBuilder(2024, "20241231")  # an int that is no YYYYMMDD: the library's own refusal
