"""Prepared market data for the backtester: building (_prepare), storing (_store) and downloading (_depot).

The store workflows, each holding the store's writer lock for its whole run (wait=True waits for another
writer, calling waiting(pid) first) and leaving the store as it was when it fails:

    build_into_store(store_dir, start_date, end_date, *, batch, allow_empty, drop_components, ...)
    supplement_store(store_dir, component_names, ...)
    update_store(store_or_dir, end_date, from_date=None, progress=None)
    download_into_store(http, store_dir, ...)

BuiltPayload is the dict that GroupPreparedDataBuilder.build() returns: its update_basis goes with it into
BinaryPreparedDataStore.write(), so that update_store() on that store reads only the new dates.
"""

from velmora.backtest._payload import BuiltPayload
from velmora.backtest._prepare import build_into_store, supplement_store, update_store
from velmora.backtest._depot import download_into_store

__all__ = ["BuiltPayload", "build_into_store", "supplement_store", "update_store", "download_into_store"]
