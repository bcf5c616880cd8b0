"""Frames across the boundary without copies: loaded frames view the mapped store files, are read-only and
outlive the store; frames handed in are taken as they are when they are float64 and row-major."""

import gc
import os

import numpy as np
import pandas as pd
import pytest

from velmora.backtest._prepare import BinaryPreparedDataStore, clean_matrix


def mapped_file(array):
    """The file whose mapping holds the array's first cell, or None for anonymous memory."""
    address = array.__array_interface__["data"][0]
    with open("/proc/self/maps") as maps:
        for line in maps:
            fields = line.split()
            low, high = (int(x, 16) for x in fields[0].split("-"))
            if low <= address < high:
                return fields[5] if len(fields) > 5 else None
    return None


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def frame(rows, cols, seed=0, start="20200101"):
    dates = pd.date_range(start, periods=rows, freq="D").strftime("%Y%m%d")
    keys = ["%06d" % i for i in range(cols)]
    cells = np.random.default_rng(seed).random((rows, cols))
    cells[cells < 0.1] = np.nan
    return pd.DataFrame(cells, index=pd.Index(dates, dtype=object), columns=pd.Index(keys, dtype=object))


def write_store(path, matrices):
    payload = {"version": 1, "meta": {"start_date": "20200101"}, "data": dict(matrices)}
    BinaryPreparedDataStore(path, []).write(payload)
    return BinaryPreparedDataStore(path, [])


def dataset_file(store, key):
    return os.path.join(store.store_dir, store.load_metadata()["datasets"][key]["file"])


def test_a_loaded_frame_views_the_mapped_file_and_is_read_only(tmp_path):
    close = frame(30, 8)
    store = write_store(tmp_path / "s", {"close_price": close, "open_price": frame(30, 8, seed=1)})
    loaded = store.load(keys=["close_price"])["data"]["close_price"]
    path = dataset_file(store, "close_price")
    assert mapped_file(loaded.values) == os.path.realpath(path)
    on_disk = np.load(path, mmap_mode="r")
    assert np.array_equal(loaded.values, on_disk, equal_nan=True)
    assert not loaded.values.flags.writeable
    with pytest.raises(ValueError):
        loaded.values[0, 0] = 1.0
    assert list(loaded.index) == list(close.index) and list(loaded.columns) == list(close.columns)


def test_a_loaded_frame_outlives_the_store_and_the_payload(tmp_path):
    store = write_store(tmp_path / "s", {"close_price": frame(20, 5)})
    values = store.load()["data"]["close_price"]
    expected = frame(20, 5).values
    del store
    gc.collect()
    assert mapped_file(values.values) is not None
    assert np.array_equal(values.values, expected, equal_nan=True)


def test_loading_without_mmap_reads_into_memory_the_frames_own(tmp_path):
    store = write_store(tmp_path / "s", {"close_price": frame(20, 5)})
    loaded = store.load(mmap=False)["data"]["close_price"]
    assert mapped_file(loaded.values) is None or not mapped_file(loaded.values).endswith(".npy")
    assert np.array_equal(loaded.values, frame(20, 5).values, equal_nan=True)
    # Private memory: writeable, and a write changes neither the store nor another load.
    assert loaded.values.flags.writeable
    loaded.iloc[0, 0] = 123.0
    assert loaded.iloc[0, 0] == 123.0
    again = store.load(mmap=False)["data"]["close_price"]
    assert again.iloc[0, 0] != 123.0 and store.load()["data"]["close_price"].iloc[0, 0] != 123.0


def test_a_copy_of_a_mapped_frame_is_writeable(tmp_path):
    store = write_store(tmp_path / "s", {"close_price": frame(20, 5)})
    copy = store.load()["data"]["close_price"].copy()
    copy.iloc[0, 0] = 7.0
    assert copy.iloc[0, 0] == 7.0 and store.load()["data"]["close_price"].iloc[0, 0] != 7.0


UNSORTED = [
    ("two dates swapped", "close_price", ["20200101", "20200103", "20200102"]),
    ("a repeated date", "open_price", ["20200101", "20200102", "20200102"]),
    ("descending", "close_price", ["20200103", "20200102", "20200101"]),
]


@pytest.mark.parametrize("key,dates", [c[1:] for c in UNSORTED], ids=[c[0] for c in UNSORTED])
def test_a_dataset_whose_dates_are_not_ascending_is_refused_before_anything_is_written(tmp_path, key, dates):
    matrices = {"close_price": frame(3, 2), "open_price": frame(3, 2, seed=1)}
    matrices[key] = matrices[key].set_axis(pd.Index(dates, dtype=object), axis=0)
    payload = {"version": 1, "meta": {}, "data": matrices}
    with pytest.raises(ValueError) as caught:
        BinaryPreparedDataStore(tmp_path / "s", []).write(payload)
    assert caught.value.args[0] == 'dataset "' + key + '" cannot be written: its dates are not in ascending order'
    assert list(tmp_path.iterdir()) == []  # no store directory, no lock file


def test_a_slice_of_a_large_store_does_not_grow_the_resident_set_by_the_data(tmp_path):
    rows, cols = 2000, 2000  # 32 MB per matrix
    matrices = {key: frame(rows, cols, seed=i) for i, key in enumerate(["close_price", "open_price", "prev_close"])}
    store = write_store(tmp_path / "s", matrices)
    data_bytes = sum(m.values.nbytes for m in matrices.values())
    del matrices
    gc.collect()
    before = resident_bytes()
    loaded = store.load(start_date="20200201", end_date="20200229")
    grown = resident_bytes() - before
    assert loaded["data"]["close_price"].shape == (29, cols)
    assert grown < data_bytes / 10, "grew %d bytes for %d bytes of data" % (grown, data_bytes)


def test_frames_handed_in_are_taken_without_a_copy_when_float64_and_row_major():
    row_major = frame(10, 4)
    assert np.shares_memory(clean_matrix(row_major).values, row_major.values)
    column_major = pd.DataFrame(np.asfortranarray(row_major.values), index=row_major.index, columns=row_major.columns)
    taken = clean_matrix(column_major)
    assert not np.shares_memory(taken.values, column_major.values)
    assert np.array_equal(taken.values, row_major.values, equal_nan=True)
    integers = pd.DataFrame([[1, 2]], index=["20200101"], columns=["a", "b"])
    assert clean_matrix(integers).values.dtype == np.float64
    masks = pd.DataFrame([[True, False]], index=["20200101"], columns=["a", "b"])
    assert clean_matrix(masks).values.dtype == bool


def test_datetime_labels_of_a_frame_handed_in_become_dates():
    days = pd.date_range("2020-01-30", periods=3, freq="D")
    cells = np.arange(6.0).reshape(3, 2)
    by_rows = clean_matrix(pd.DataFrame(cells, index=days, columns=["000001", "000002"]))
    assert list(by_rows.index) == ["20200130", "20200131", "20200201"]
    by_columns = clean_matrix(pd.DataFrame(cells.T, index=["000001", "000002"], columns=days))
    assert list(by_columns.columns) == ["20200130", "20200131", "20200201"]
    assert np.array_equal(by_columns.values, cells.T)


def test_duplicate_labels_are_refused():
    duplicated = pd.DataFrame([[1.0], [2.0]], index=["20200101", "20200101"], columns=["a"])
    with pytest.raises(ValueError):
        clean_matrix(duplicated)


def test_supplementing_a_component_from_a_frame(tmp_path):
    store = write_store(tmp_path / "s", {"close_price": frame(10, 4)})
    name = "rq_index_components_new_000300.XSHG"
    mask = frame(10, 4, seed=3).notna().astype("float64").replace(0.0, np.nan)
    component_store = BinaryPreparedDataStore(tmp_path / "s", [name])
    assert component_store.add_component_matrices({name: mask}, [" " + name]) == [name]
    assert component_store.add_component_matrices({}, [name]) == []
    loaded = component_store.load()["data"]
    assert list(loaded) == ["close_price", "component__" + name]
    assert np.array_equal(loaded["component__" + name].values, mask.values, equal_nan=True)
    meta = component_store.load_metadata()["meta"]
    assert meta["component_names"] == [name]
    assert meta["component_dataset_keys"] == {name: "component__" + name}


def test_benchmark_series_must_have_ascending_dates():
    from velmora.backtest._prepare import GroupPreparedDataBuilder

    unordered = pd.Series([1.0, 2.0], index=["20240102", "20240101"])
    with pytest.raises(ValueError):
        GroupPreparedDataBuilder("20240101", "20240131")._assemble_payload({}, {}, {"000300": unordered}, [], "created_at")
