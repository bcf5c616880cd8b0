"""The process's factor service: the one the builder reads through."""

from typing import Optional, Protocol, Union

import pandas


class FactorServiceLike(Protocol):
    """What set_instance accepts from Python: any object with these two methods (see docs/factor_service.md)."""

    def get_factors(
        self, *, factor: Union[str, list[str]], start_date: Optional[str] = ..., end_date: Optional[str] = ...
    ) -> Optional[pandas.DataFrame]: ...
    def get_index_daily(
        self, *, order_book_ids: list[str], start_date: Optional[str] = ..., end_date: Optional[str] = ...
    ) -> Optional[pandas.DataFrame]: ...

class FactorService:
    """A factor service of the C++ library."""

    def get_factors(
        self, *, factor: Union[str, list[str]], start_date: Optional[str] = None, end_date: Optional[str] = None
    ) -> Optional[pandas.DataFrame]: ...
    def get_index_daily(
        self, *, order_book_ids: list[str], start_date: Optional[str] = None, end_date: Optional[str] = None
    ) -> Optional[pandas.DataFrame]: ...

def get_instance() -> Union[FactorService, FactorServiceLike]: ...
def set_instance(
    service: Union[FactorService, FactorServiceLike, None]
) -> Union[FactorService, FactorServiceLike, None]: ...
