"""Downloading the benchmark package from Python: through a real loopback server, with a Python progress
observer, then flattening and loading the store."""

import io
import zipfile

import numpy as np
import pandas as pd
import pytest

from loopback import Loopback
from velmora._http import API_PREFIX, HttpClient
from velmora.backtest._depot import _BENCHMARK_DATA_PATH, download_benchmark_package, flatten_single_subdir
from velmora.backtest._prepare import BinaryPreparedDataStore


@pytest.fixture
def cloud():
    server = Loopback()
    yield server
    server.close()


def packed_store(tmp_path):
    """A store zipped inside one directory, as some packaging tools lay packages out."""
    close = pd.DataFrame(np.arange(6.0).reshape(2, 3), index=["20240102", "20240103"], columns=["000001", "000002", "600000"])
    BinaryPreparedDataStore(tmp_path / "source", []).write({"version": 1, "meta": {}, "data": {"close_price": close}})
    archive = io.BytesIO()
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as zf:
        for path in sorted((tmp_path / "source").iterdir()):
            zf.write(path, "enviroment_data/" + path.name)
    return archive.getvalue(), close


def test_a_package_downloads_flattens_and_loads(cloud, tmp_path):
    body, close = packed_store(tmp_path)
    assert _BENCHMARK_DATA_PATH == API_PREFIX + "/backtest-data/benchmark-data"
    cloud.answer_json(_BENCHMARK_DATA_PATH, {"download_url": cloud.url + "/package.zip", "content_type": " application/zip "})
    cloud.answer_bytes("/package.zip", body)
    seen = []
    store_dir = download_benchmark_package(HttpClient(cloud.url, "token"), str(tmp_path / "data" / "store"),
                                           progress=lambda received, total: seen.append((received, total)))
    assert str(store_dir) == str(tmp_path / "data" / "store")
    assert seen and seen[-1] == (len(body), len(body))
    assert list((tmp_path / "data" / "temp").iterdir()) == []
    flatten_single_subdir(store_dir)
    loaded = BinaryPreparedDataStore(store_dir, []).load()
    assert loaded["data"]["close_price"].equals(close)


def test_an_exception_of_the_progress_observer_ends_the_download_as_itself(cloud, tmp_path):
    body, _ = packed_store(tmp_path)
    cloud.answer_json(_BENCHMARK_DATA_PATH, {"download_url": cloud.url + "/package.zip"})
    cloud.answer_bytes("/package.zip", body)

    class Stop(Exception):
        pass

    stop = Stop()

    def observer(received, total):
        raise stop

    with pytest.raises(Stop) as caught:
        download_benchmark_package(HttpClient(cloud.url), tmp_path / "data" / "store", progress=observer)
    assert caught.value is stop
    assert list((tmp_path / "data" / "temp").iterdir()) == []
