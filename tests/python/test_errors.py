"""Errors seen from Python: a Python service's own exceptions, the places that swallow them, the kinds and
messages of our errors with their causes, and TypeError for arguments of the wrong kind."""

import io
import re
import socket
import zipfile

import pandas as pd
import pytest

from conftest import END, START
from factor_frames import PandasFrameService
from loopback import Loopback
from velmora import singleton
from velmora._http import API_PREFIX, HttpClient
from velmora.backtest import _prepare
from velmora.backtest._depot import download_benchmark_package
from velmora.backtest._prepare import BinaryPreparedDataStore, GroupPreparedDataBuilder
from velmora.exceptions import HttpError, NetworkError, VelmoraError


class ServiceDown(Exception):
    pass


class FailingService(PandasFrameService):
    """Raises its own exception for the reads that `fails` selects."""

    def __init__(self, db, fails):
        super().__init__(db)
        self.fails = fails
        self.raised = []

    def get_factors(self, factor, start_date, end_date):
        if self.fails(factor):
            error = ServiceDown("down for " + repr(factor))
            self.raised.append(error)
            raise error
        return super().get_factors(factor, start_date, end_date)


def test_the_services_own_exception_reaches_the_caller_of_build_as_the_same_object(sample_db):
    service = FailingService(sample_db, lambda factor: factor == "Open")
    singleton.set_instance(service)
    with pytest.raises(ServiceDown) as caught:
        GroupPreparedDataBuilder(START, END).build()
    assert caught.value is service.raised[0]


def test_a_failing_batch_read_is_swallowed_and_read_factor_by_factor(sample_db):
    singleton.set_instance(PandasFrameService(sample_db))
    expected = GroupPreparedDataBuilder(START, END).build_incremental()
    service = FailingService(sample_db, lambda factor: isinstance(factor, list))
    singleton.set_instance(service)
    got = GroupPreparedDataBuilder(START, END).build_incremental()
    assert len(service.raised) == 1
    assert list(got["data"]) == list(expected["data"])
    assert got["data"]["close_price"].equals(expected["data"]["close_price"])


def test_a_failing_component_read_leaves_the_component_out_and_the_build_names_it(sample_db):
    name = "rq_index_components_new_000905.XSHG"
    service = FailingService(sample_db, lambda factor: factor == name)
    singleton.set_instance(service)
    with pytest.raises(ValueError) as caught:
        GroupPreparedDataBuilder(START, END).build()
    assert caught.value.args[0] == "成分股矩阵缺失，无法精确生成二进制缓存: ['" + name + "']"
    assert len(service.raised) == 1
    # The swallowed exception stays reachable: it is the cause, as the same object.
    assert caught.value.__cause__ is service.raised[0]


def refused_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def failing_component_build(sample_db):
    name = "rq_index_components_new_000905.XSHG"
    singleton.set_instance(FailingService(sample_db, lambda factor: factor == name))
    GroupPreparedDataBuilder(START, END).build()


# Each failure a user meets → the class raised (with the classes it must also be caught as) and its cause.
HIERARCHY = [
    ("no connection", lambda cloud, db, tmp: HttpClient("http://127.0.0.1:%d" % refused_port()).get("/x"),
     HttpError, (NetworkError, VelmoraError), ConnectionError),
    ("an HTTP status", lambda cloud, db, tmp: HttpClient(cloud.url).get("/not-there"),
     HttpError, (NetworkError, VelmoraError), type(None)),
    ("a download answered 404",
     lambda cloud, db, tmp: download_benchmark_package(HttpClient(cloud.url), tmp / "store"),
     NetworkError, (VelmoraError,), HttpError),
    ("no factor service", lambda cloud, db, tmp: singleton.get_instance(), VelmoraError, (Exception,), type(None)),
    ("a component whose read failed", lambda cloud, db, tmp: failing_component_build(db), ValueError, (), ServiceDown),
]


@pytest.mark.parametrize("fail,kind,also,cause", [c[1:] for c in HIERARCHY], ids=[c[0] for c in HIERARCHY])
def test_each_failure_has_its_class_in_the_hierarchy_and_its_cause(cloud, sample_db, tmp_path, fail, kind, also, cause):
    cloud.answer_json(API_PREFIX + "/backtest-data/benchmark-data", {"download_url": cloud.url + "/missing.zip"})
    singleton.set_instance(None)
    with pytest.raises(kind) as caught:
        fail(cloud, sample_db, tmp_path)
    assert all(isinstance(caught.value, one) for one in also)
    assert isinstance(caught.value.__cause__, cause), repr(caught.value.__cause__)


def test_a_failed_connection_is_an_http_error_without_status_caused_by_the_transport():
    url = "http://127.0.0.1:%d" % refused_port()
    with pytest.raises(NetworkError) as caught:
        HttpClient(url).get("/api/v1/x")
    assert caught.value.status == 0 and caught.value.args[0].startswith("GET " + url + "/api/v1/x failed: ")
    assert caught.value.__cause__.args[0] == "Couldn't connect to server"


def test_no_factor_service_names_the_python_call_that_installs_one():
    singleton.set_instance(None)
    with pytest.raises(VelmoraError) as caught:
        singleton.get_instance()
    assert caught.value.args[0] == "no factor service is installed: call velmora.singleton.set_instance() first"


def test_library_errors_keep_their_kind_and_exact_message():
    singleton.set_instance(None)
    with pytest.raises(VelmoraError):
        singleton.get_instance()
    with pytest.raises(KeyError) as caught:
        GroupPreparedDataBuilder._vm_factors_to_matrices(pd.DataFrame({"x": [1.0]}), ["Close"])
    assert caught.value.args[0] == "因子查询返回结果缺少 order_book_id/date 列"
    with pytest.raises(KeyError) as caught:
        GroupPreparedDataBuilder._format_benchmark_daily_return(None, "000300", "000300.XSHG")
    assert caught.value.args[0] == "基准日频数据为空: 000300 (000300.XSHG)"
    with pytest.raises(ValueError) as caught:
        BinaryPreparedDataStore("/nonexistent-store").add_component_matrices({}, ["x"])
    assert caught.value.args[0] == "缺失成分股矩阵为空，无法补充: x"
    assert issubclass(NetworkError, VelmoraError)


@pytest.fixture
def cloud():
    server = Loopback()
    yield server
    server.close()


def test_a_failed_download_is_a_network_error_caused_by_the_http_status(cloud, tmp_path):
    cloud.answer_json(API_PREFIX + "/backtest-data/benchmark-data", {"download_url": cloud.url + "/missing.zip"})
    with pytest.raises(NetworkError) as caught:
        download_benchmark_package(HttpClient(cloud.url), tmp_path / "store")
    assert caught.value.args[0] == "下载回测基准数据失败: HTTP 404"
    assert isinstance(caught.value.__cause__, HttpError) and caught.value.__cause__.status == 404


def test_a_package_without_address_is_a_velmora_error_and_the_clients_failure_is_an_http_error(cloud, tmp_path):
    cloud.answer_json(API_PREFIX + "/backtest-data/benchmark-data", {})
    with pytest.raises(VelmoraError) as caught:
        download_benchmark_package(HttpClient(cloud.url), tmp_path / "store")
    assert caught.value.args[0] == "服务端未返回有效的回测基准数据下载地址"
    assert not (tmp_path / "store").exists()
    with pytest.raises(HttpError):
        HttpClient(cloud.url).get("/not-there")


def local_header_naming_another_file():
    archive = io.BytesIO()
    with zipfile.ZipFile(archive, "w") as z:
        z.writestr("metadata.pkl", b"meta")
    body = archive.getvalue()
    at = body.index(b"metadata.pkl")  # the local header's copy of the name, not the central directory's
    return body[:at] + b"M" + body[at + 1:]


DAMAGED_PACKAGES = [
    ("not a zip", b"<html>not a zip</html>", r": Not a zip archive: Not a zip archive"),
    ("local header names another file", local_header_naming_another_file(),
     r": the local header of entry metadata\.pkl names Metadata\.pkl: Zip archive inconsistent"),
]


@pytest.mark.parametrize("body,cause", [(b, c) for _, b, c in DAMAGED_PACKAGES], ids=[n for n, _, _ in DAMAGED_PACKAGES])
def test_a_damaged_package_is_a_velmora_error_with_the_zip_libraries_failure_as_cause(cloud, tmp_path, body, cause):
    cloud.answer_json(API_PREFIX + "/backtest-data/benchmark-data", {"download_url": cloud.url + "/p.zip"})
    cloud.answer_bytes("/p.zip", body)
    with pytest.raises(VelmoraError) as caught:
        download_benchmark_package(HttpClient(cloud.url), tmp_path / "store")
    assert caught.value.args[0] == "回测基准数据包损坏,无法解压"
    # The zip library's own failure, not an operating-system error: its code is no errno.
    failure = caught.value.__cause__
    assert type(failure) is RuntimeError, repr(failure)
    assert re.fullmatch(re.escape(str(tmp_path / "temp")) + r"/download_\w+\.pkg" + cause, failure.args[0]), failure.args


WRONG_KINDS = [
    (lambda: GroupPreparedDataBuilder(None, END), "start_date must be a text, not NoneType"),
    (lambda: GroupPreparedDataBuilder(START, 20231231.0), "end_date must be a text, not float"),
    (lambda: GroupPreparedDataBuilder(START, pd.NaT), "end_date must be a text, not NaTType"),
    (lambda: GroupPreparedDataBuilder(True, END), "start_date must be a text, not bool"),
    (lambda: _prepare.parse_name_list(1), "name list must be None, a text or a sequence, not int"),
    (lambda: _prepare.build_matrix_dtype(("a",)), "component_names must be a list, not tuple"),
    (lambda: _prepare.build_matrix_dtype("a"), "component_names must be a list, not str"),
    (lambda: BinaryPreparedDataStore("s", ("a",)), "component_names must be a list, not tuple"),
    (lambda: BinaryPreparedDataStore("s").load(keys=("close_price",)), "keys must be a list or None, not tuple"),
    (lambda: BinaryPreparedDataStore("s").load(keys=["a", 1]), "keys must hold texts only, not int"),
    (lambda: BinaryPreparedDataStore("s").load(start_date=2023.5), "start_date must be a text or None, not float"),
    (lambda: BinaryPreparedDataStore("s").add_component_matrices([], ["x"]), "component_matrices must be a dict, not list"),
    (lambda: BinaryPreparedDataStore("s").add_component_matrices({}, "x"), "component_names must be a list, not str"),
    (lambda: BinaryPreparedDataStore("s").add_component_matrices({"x": [[1.0]]}, ["x"]),
     "component_matrices must be a pandas.DataFrame, not list"),
    (lambda: GroupPreparedDataBuilder._vm_factor_date(20230101), "date_value must be a text or None, not int"),
    (lambda: singleton.set_instance(object()),
     "a factor service needs the methods get_factors and get_index_daily; got an object of type object"),
]


@pytest.mark.parametrize("call,message", WRONG_KINDS, ids=[m for _, m in WRONG_KINDS])
def test_arguments_of_the_wrong_kind_are_type_errors(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert caught.value.args[0] == message


def test_a_service_answering_something_else_than_a_frame_is_a_type_error():
    class ListService:
        def get_factors(self, factor, start_date, end_date):
            return [{"order_book_id": "000001.XSHE"}]

        def get_index_daily(self, order_book_ids, start_date, end_date):
            return None

    singleton.set_instance(ListService())
    with pytest.raises(TypeError) as caught:
        GroupPreparedDataBuilder(START, END)._read_normal_factor_matrix("Close")
    assert caught.value.args[0] == "a factor service answers a pandas.DataFrame or None, not list"
