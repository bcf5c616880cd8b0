"""Fixtures of the Python tests: the tool (for sample databases and reference stores), a sample factor
database, and a clean factor-service slot around every test.

CTest runs these with PYTHONPATH=<build>/python and VELMORA_TOOL=<the velmora-backtest binary>."""

import os
import subprocess

import pytest

from velmora import singleton

START, END = "20230101", "20231231"


@pytest.fixture(scope="session")
def tool():
    path = os.environ.get("VELMORA_TOOL")
    if not path or not os.path.exists(path):
        pytest.skip("VELMORA_TOOL does not name the velmora-backtest binary")
    return path


@pytest.fixture(scope="session")
def sample_db(tool, tmp_path_factory):
    db = tmp_path_factory.mktemp("sample") / "sample.db"
    subprocess.run([tool, "sample", "--db", str(db), "--instruments", "60", "--days", "45"], check=True,
                   stdout=subprocess.DEVNULL)
    return db


@pytest.fixture(autouse=True)
def no_service_left_installed():
    yield
    singleton.set_instance(None)
