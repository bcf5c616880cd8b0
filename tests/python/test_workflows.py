"""The store workflows from Python on real stores: a build that would empty a store or lose its supplemented
components is refused (or told to drop them), a supplement adds what a store lacks, and a store written
through Python carries its update basis, so that an update reads only the new dates."""

import os
import shutil
import sqlite3

import pytest

from conftest import END, START
from frames_equal import assert_data_identical
from velmora import singleton
from velmora.backtest import (BuiltPayload, build_into_store, find_leftovers, remove_leftovers, request_interruption,
                               reset_interruption, supplement_store, update_store)
from velmora.backtest._prepare import BinaryPreparedDataStore, GroupPreparedDataBuilder
from velmora.exceptions import VelmoraError
from velmora.sqlite_factor_service import SqliteFactorService

EXTRA = "custom_member"  # a membership factor no build reads: only a supplement puts it into a store
MIDDLE = "20230210"


@pytest.fixture(scope="module")
def dbs(sample_db, tmp_path_factory):
    """The sample database with EXTRA (a copy of one index's membership), and two copies of it: one without
    EXTRA, one without any Close row."""
    root = tmp_path_factory.mktemp("workflow-dbs")
    full = root / "full.db"
    shutil.copy(sample_db, full)
    with sqlite3.connect(full) as con:
        con.execute("INSERT INTO factor_values SELECT ?, order_book_id, date, value FROM factor_values "
                    "WHERE factor = 'rq_index_components_new_000300.XSHG'", (EXTRA,))
    made = {"full": full}
    for name, factor in (("no_extra", EXTRA), ("no_close", "Close")):
        made[name] = root / (name + ".db")
        shutil.copy(full, made[name])
        with sqlite3.connect(made[name]) as con:
            con.execute("DELETE FROM factor_values WHERE factor = ?", (factor,))
    return made


def serve(db):
    singleton.set_instance(SqliteFactorService(db))


def store_bytes(store):
    return {name: (store / name).read_bytes() for name in sorted(os.listdir(store))}


def components(store):
    return BinaryPreparedDataStore(store).load_metadata()["meta"]["component_names"]


def everything(store):
    """Every dataset of the store, the supplemented masks included."""
    return BinaryPreparedDataStore(store, components(store)).load()["data"]


def test_an_empty_build_is_refused_over_a_good_store_unless_allowed(dbs, tmp_path):
    store = tmp_path / "store"
    serve(dbs["full"])
    assert build_into_store(store, START, END)["dates"] > 0
    before = store_bytes(store)
    serve(dbs["no_close"])
    with pytest.raises(VelmoraError) as refused:
        build_into_store(store, START, END)
    assert str(refused.value) == (
        f"the build of {START} to {END} holds no date (the database has no Close rows in that range); writing it "
        f"would empty the store {store}: nothing was written (--allow-empty writes it anyway)")
    assert store_bytes(store) == before
    assert build_into_store(store, START, END, allow_empty=True)["dates"] == 0


def test_a_rebuild_keeps_the_supplemented_masks_names_those_it_would_lose_and_drops_them_when_told(dbs, tmp_path):
    store = tmp_path / "store"
    serve(dbs["full"])
    build_into_store(store, START, END)
    assert supplement_store(store, [EXTRA]) == {"added": [EXTRA], "already_present": []}
    assert supplement_store(store, EXTRA) == {"added": [], "already_present": [EXTRA]}
    supplemented = everything(store)
    assert f"component__{EXTRA}" in supplemented

    rebuilt = build_into_store(store, START, END, batch=True)
    assert rebuilt["kept"] == [EXTRA] and EXTRA in components(store)
    assert_data_identical(everything(store), supplemented)  # the mask included

    before = store_bytes(store)
    serve(dbs["no_extra"])
    with pytest.raises(ValueError, match="^a rebuild would lose component masks the store holds: " + EXTRA + "$"):
        build_into_store(store, START, END)
    assert store_bytes(store) == before
    with pytest.raises(ValueError, match="^cannot drop typo: "):
        build_into_store(store, START, END, drop_components="typo")
    assert store_bytes(store) == before

    dropped = build_into_store(store, START, END, drop_components=[EXTRA])
    assert dropped["dropped"] == [EXTRA] and dropped["kept"] == []
    assert EXTRA not in components(store)


@pytest.mark.parametrize("as_written, outcome", [(lambda payload: payload, "extended"),
                                                 (dict, "rebuilt")])  # a plain copy has no basis
def test_a_store_written_through_python_is_updated_from_its_basis(dbs, tmp_path, as_written, outcome):
    serve(dbs["full"])
    payload = GroupPreparedDataBuilder(START, MIDDLE).build_incremental()
    assert isinstance(payload, BuiltPayload) and list(payload) == ["version", "meta", "data"]
    assert payload.update_basis  # the source matrices no dataset keeps as read
    store = tmp_path / "store"
    BinaryPreparedDataStore(store).write(as_written(payload))

    result = update_store(store, END)
    assert result["outcome"] == outcome
    assert result["old_end_date"] == MIDDLE and result["end_date"] == END
    assert result["added_dates"] and result["added_dates"][0] > MIDDLE
    build_into_store(tmp_path / "reference", START, END, batch=True)
    assert_data_identical(BinaryPreparedDataStore(store).load()["data"],
                          BinaryPreparedDataStore(tmp_path / "reference").load()["data"])


def test_an_update_takes_a_store_object_and_reports_progress(dbs, tmp_path):
    serve(dbs["full"])
    store = BinaryPreparedDataStore(tmp_path / "store")
    build_into_store(store.store_dir, START, MIDDLE, batch=True)
    said = []
    assert update_store(store, END, progress=said.append)["outcome"] == "extended"
    assert said
    assert update_store(store, END)["outcome"] == "unchanged"
    with pytest.raises(TypeError, match="^store_or_dir must be a BinaryPreparedDataStore or a path, not int$"):
        update_store(3, END)


def test_the_leftovers_of_interrupted_writes_are_listed_then_removed_and_the_users_files_stay(dbs, tmp_path):
    store = tmp_path / "store"
    serve(dbs["full"])
    build_into_store(store, START, END)
    assert find_leftovers(store) == []
    before = store_bytes(store)
    (store / ".pending_files").write_text("close_price.00000000000000aa.npy\n")
    (store / "close_price.00000000000000aa.npy").write_bytes(b"p" * 100)
    staging = tmp_path / ".store.staging-0123456789abcdef"
    staging.mkdir()
    (staging / "a.npy").write_bytes(b"s" * 10)
    (store / "returns.1234567890abcdef.npy").write_bytes(b"mine")

    found = {(os.path.basename(left["path"]), left["kind"], left["bytes"]) for left in find_leftovers(store)}
    assert found == {
        ("close_price.00000000000000aa.npy", "partial or replaced file of an unfinished write", 100),
        (".pending_files", "record of an unfinished write", 33),
        (".store.staging-0123456789abcdef", "staging directory of an interrupted download", 10),
    }
    removed = remove_leftovers(store, wait=True)
    assert {os.path.basename(left["path"]) for left in removed} == {name for name, _, _ in found}
    assert not staging.exists()
    assert (store / "returns.1234567890abcdef.npy").read_bytes() == b"mine"
    (store / "returns.1234567890abcdef.npy").unlink()
    assert store_bytes(store) == before


def test_an_interrupted_build_raises_and_leaves_the_store_as_it_was(dbs, tmp_path):
    store = tmp_path / "store"
    serve(dbs["full"])
    build_into_store(store, START, MIDDLE)
    before = store_bytes(store)
    request_interruption()
    try:
        with pytest.raises(VelmoraError, match="^interrupted$"):
            build_into_store(store, START, END)
    finally:
        reset_interruption()
    assert store_bytes(store) == before
    assert find_leftovers(store) == []
    assert build_into_store(store, START, END)["end_date"] == END
