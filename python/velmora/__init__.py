"""The velmora client SDK's prepared-data modules.

    velmora.backtest                 the public names of the three modules below, in one place, and the store
                                     workflows: build_into_store, supplement_store, update_store,
                                     download_into_store; BuiltPayload
    velmora.backtest._prepare        GroupPreparedDataBuilder, BinaryPreparedDataStore, the vocabulary
    velmora.backtest._depot          download_benchmark_package, flatten_single_subdir
    velmora.backtest._store          BinaryPreparedDataStoreBase and the store helpers
    velmora.singleton                get_instance / set_instance of the factor service
    velmora.sqlite_factor_service    SqliteFactorService, the embedded factor service
    velmora._http                    HttpClient, API_PREFIX
    velmora.exceptions               VelmoraError, NetworkError, HttpError
"""

from velmora._version import __version__

__all__ = ["__version__"]
