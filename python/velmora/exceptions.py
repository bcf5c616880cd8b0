"""The SDK's own error kinds. Argument and lookup errors are Python's TypeError, ValueError and KeyError.

    VelmoraError                 a failure of the SDK's own operations
      NetworkError               a failed network transfer
        HttpError                a failed HTTP exchange of the signed client (`status`, 0 for a transport failure)

An error raised because of a lower-level failure carries that failure as __cause__: a NetworkError of a
download its HttpError, an HttpError of a failed connection a ConnectionError with the transport's own
description.
"""

from typing import Optional


class VelmoraError(Exception):
    """A failure of the SDK's own operations, such as an unusable benchmark data package."""


class NetworkError(VelmoraError):
    """A failed network transfer; the transport failure, when given, is the cause."""

    def __init__(self, message: str, cause: Optional[BaseException] = None) -> None:
        super().__init__(message)
        if cause is not None:
            self.__cause__ = cause


class HttpError(NetworkError):
    """A failed HTTP exchange of the signed client: `status` is the response status, or 0 for a transport
    failure or an answer that is not JSON. A transport failure (no connection, a time-out) has a
    ConnectionError with the transport's own description as its cause; an answer that is not JSON has the
    parser's error."""

    def __init__(self, message: str, status: int = 0, cause: Optional[BaseException] = None) -> None:
        super().__init__(message, cause)
        self.status = status
