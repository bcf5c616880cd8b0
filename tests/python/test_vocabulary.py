"""The module vocabulary from Python: name lists in their Python forms, date series with their labels, and the
dtype map; the names _prepare binds from the host modules."""

import numpy as np
import pandas as pd
import pytest

from velmora import singleton
from velmora.backtest import _prepare, _store

NAME_LISTS = [
    (None, []),
    ("a, b；c", ["a", "b", "c"]),
    ("x\n\ny", ["x", "y"]),
    (",,,", []),
    ("a\r\nb", ["a", "b"]),
    (["a", " b "], ["a", "b"]),
    (("a", "a"), ["a", "a"]),
    ([1, " 2 "], ["1", "2"]),
    ([1.5, True, "c,d"], ["1.5", "True", "c,d"]),
    (pd.Series([" p", "q "]), ["p", "q"]),
]


@pytest.mark.parametrize("raw,names", NAME_LISTS, ids=[repr(raw) for raw, _ in NAME_LISTS])
def test_parse_name_list_takes_python_values(raw, names):
    assert _prepare.parse_name_list(raw) == names


def test_series_to_yyyymmdd_reads_python_and_numpy_dates_and_keeps_labels():
    values = pd.Series([np.int64(20240102), np.datetime64("2024-01-03"), pd.Timestamp("2024-01-04 10:00"), pd.NaT,
                        "2024/01/05", "junk", 2.5, None], index=list("abcdefgh"), name="when")
    got = _prepare.series_to_yyyymmdd(values)
    assert got.to_dict() == {"a": "20240102", "b": "20240103", "c": "20240104", "d": None, "e": "20240105",
                             "f": None, "g": None, "h": None}
    assert got.name == "when"
    assert list(_prepare.series_to_yyyymmdd(["2024-01-02"]).index) == [0]


def test_build_matrix_dtype_and_the_constants():
    built_in = _prepare.build_matrix_dtype()
    assert list(built_in)[:12] == list(_prepare.BASE_MATRIX_DTYPE)
    assert list(built_in)[12:] == [_store.component_dataset_key(n) for n in _prepare.get_component_factor_names()]
    assert _prepare.build_matrix_dtype(["x", " x ", ""]) == dict(_prepare.BASE_MATRIX_DTYPE, component__x="float64")
    assert list(_prepare.BENCHMARK_INDEX_CODES) == ["000852", "000300", "000905"]
    assert _prepare.get_component_factor_names() is not _prepare.get_component_factor_names()


def test_prepare_binds_the_host_names():
    for name in ["BinaryPreparedDataStoreBase", "clean_matrix", "component_dataset_key", "normalize_yyyymmdd"]:
        assert getattr(_prepare, name) is getattr(_store, name)
    assert _prepare.get_instance is singleton.get_instance
    assert issubclass(_prepare.BinaryPreparedDataStore, _store.BinaryPreparedDataStoreBase)


def test_builder_dates_and_their_forms():
    builder = _prepare.GroupPreparedDataBuilder("2024-01-02", "2024/12/31")
    assert (builder.default_start, builder.end_date, builder._ddb_start) == ("20240102", "20241231", "20240102")
    assert _prepare.GroupPreparedDataBuilder._vm_factor_date("20240102") == "2024-01-02"
    assert _prepare.GroupPreparedDataBuilder._vm_factor_date(None) is None
    assert _prepare.GroupPreparedDataBuilder._normalize_ddb_backtest_date(2024010) == "20240100"
    with pytest.raises(ValueError):
        _prepare.GroupPreparedDataBuilder("20240230", "20241231")
