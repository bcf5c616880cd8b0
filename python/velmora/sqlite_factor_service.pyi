"""The embedded factor service: answers from a SQLite factor database."""

import enum
import os
import pathlib
from typing import Optional, Union

from velmora.singleton import FactorService

class TableScan(enum.Enum):
    automatic: int
    always: int
    never: int

class SqliteFactorService(FactorService):
    def __init__(
        self, path: Union[str, os.PathLike[str]], read_threads: int = 0, table_scan: Optional[TableScan] = None
    ) -> None: ...
    @property
    def path(self) -> pathlib.Path: ...
