"""The signed client of the velmora cloud service."""

from typing import Any, Optional

API_PREFIX: str

class HttpClient:
    def __init__(self, base_url: str, token: str = "") -> None: ...
    @property
    def base_url(self) -> str: ...
    def get(self, path: str) -> Optional[dict[str, Any]]: ...
