"""The payload a build returns, carrying what an update of the store written from it needs."""

from typing import Any, Iterable, Mapping, Optional, Union


class BuiltPayload(dict[str, Any]):
    """The dict of "version", "meta" and "data" that GroupPreparedDataBuilder.build() and build_incremental()
    return, with one attribute more: `update_basis`, the build's source matrices that "data" does not keep
    (factor name -> DataFrame). BinaryPreparedDataStore.write() stores them beside the datasets, so that
    update_store() on that store reads only the new dates. A plain dict made from it (dict(payload)) has no
    basis: the store written from it is rebuilt in full by its first update."""

    def __init__(
        self,
        payload: Union[Mapping[str, Any], Iterable[tuple[str, Any]]] = (),
        update_basis: Optional[dict[str, Any]] = None,
    ) -> None:
        super().__init__(payload)
        self.update_basis = {} if update_basis is None else update_basis
