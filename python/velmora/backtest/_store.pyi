"""The binary prepared-data store base and its helpers."""

import datetime
import os
import pathlib
from typing import Any, Optional, Union

import numpy
import pandas

PathLike = Union[str, os.PathLike[str]]
# Every form a date argument takes: a date text ("YYYYMMDD", "YYYY-MM-DD", "YYYY/MM/DD"), an int YYYYMMDD, a
# datetime.date or datetime.datetime, a numpy.datetime64 or a pandas.Timestamp.
DateLike = Union[str, int, datetime.date, numpy.datetime64, pandas.Timestamp]
Payload = dict[str, Any]

class BinaryPreparedDataStoreBase:
    def __init__(self, store_dir: PathLike, matrix_dtype: dict[str, str], version: int, float_dtype: str) -> None: ...
    @property
    def matrix_dtype(self) -> dict[str, str]: ...
    @property
    def store_dir(self) -> pathlib.Path: ...
    @property
    def metadata_path(self) -> pathlib.Path: ...
    @property
    def manifest_path(self) -> pathlib.Path: ...
    def load_metadata(self) -> dict[str, Any]: ...
    def load(
        self,
        start_date: Optional[DateLike] = None,
        end_date: Optional[DateLike] = None,
        keys: Optional[list[str]] = None,
        mmap: bool = True,
    ) -> Optional[Payload]: ...
    def write(self, payload: Payload) -> None: ...
    def verify(self) -> None: ...

def normalize_yyyymmdd(value: Optional[str]) -> Optional[str]: ...
def component_dataset_key(component_name: str) -> str: ...
def clean_matrix(matrix: pandas.DataFrame) -> pandas.DataFrame: ...
