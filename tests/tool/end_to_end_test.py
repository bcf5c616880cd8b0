"""End-to-end runs of the velmora-backtest tool: the whole publish-and-fetch loop, the incremental build, the
supplement of index-membership matrices, and how each failure reaches the user.

Usage: end_to_end_test.py PATH_TO_TOOL   (run by CTest)
"""

import http.server
import json
import os
import pickle
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import unittest

import numpy as np

TOOL = None
START, END = "20230102", "20230331"


def run(*args, check=True):
    result = subprocess.run([TOOL, *args], capture_output=True, text=True, timeout=600)
    if check and result.returncode != 0:
        raise AssertionError(f"{args} failed ({result.returncode}):\n{result.stdout}\n{result.stderr}")
    return result


def load_json(store, *extra):
    return json.loads(run("load", "--store", store, "--json", *extra).stdout)


class PackageServer:
    """Serves a package zip and the cloud answer that points at it, on 127.0.0.1."""

    def __init__(self, archive):
        with open(archive, "rb") as f:
            payload = f.read()
        owner = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_GET(self):
                if self.path == "/api/v1/backtest-data/benchmark-data":
                    body = json.dumps({"download_url": f"{owner.url}/files/package.zip",
                                       "content_type": "application/zip"}).encode()
                    kind = "application/json"
                elif self.path == "/files/package.zip":
                    body, kind = payload, "application/zip"
                else:
                    self.send_error(404)
                    return
                self.send_response(200)
                self.send_header("Content-Type", kind)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}"
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()


def read_store_with_numpy(store):
    """Every dataset of a store, read without our code: pickle for the metadata, numpy for the cells."""
    with open(os.path.join(store, "metadata.pkl"), "rb") as f:
        metadata = pickle.load(f)
    out = {}
    for key, entry in metadata["datasets"].items():
        cells = np.load(os.path.join(store, entry["file"]), mmap_mode="r")
        out[key] = (list(entry["index"]), list(entry["columns"]), np.array(cells))
    return metadata, out


class ToolTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="velmora-tool-")
        cls.db = os.path.join(cls.work, "sample.db")
        run("sample", "--db", cls.db, "--instruments", "60", "--days", "70", "--seed", "11")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.work, name)

    def test_publish_download_flatten_and_load_round_trip(self):
        # The publisher packs the store inside one directory, as some packaging tools do.
        publish = self.path("publish")
        store = os.path.join(publish, "enviroment_data")
        built = run("build", "--db", self.db, "--start", START, "--end", END, "--store", store)
        self.assertIn("17 datasets", built.stdout)
        original = load_json(store)
        self.assertEqual(len(original["datasets"]), 17 + 3)
        archive = self.path("package.zip")
        run("package", "--store", publish, "--out", archive)

        fetched = self.path("users/data/store")
        with PackageServer(archive) as server:
            run("download", "--api", server.url, "--store", fetched, "--flatten")
        self.assertTrue(os.path.exists(os.path.join(fetched, "metadata.pkl")))
        self.assertEqual(os.listdir(self.path("users/data/temp")), [])
        self.assertEqual(load_json(fetched), original)

        _, ours = read_store_with_numpy(store)
        _, theirs = read_store_with_numpy(fetched)
        self.assertEqual(ours.keys(), theirs.keys())
        for key in ours:
            self.assertEqual(ours[key][0], theirs[key][0], key)
            self.assertEqual(ours[key][1], theirs[key][1], key)
            np.testing.assert_array_equal(ours[key][2], theirs[key][2], err_msg=key)

    def test_date_range_and_keys_restrict_the_load(self):
        store = self.path("ranged")
        run("build", "--db", self.db, "--start", START, "--end", END, "--store", store, "--quiet")
        loaded = load_json(store, "--start", "2023-02-01", "--end", "20230228", "--keys", "close_price,can_buy_stock")
        keys = [row["key"] for row in loaded["datasets"]]
        self.assertEqual(keys[:2], ["close_price", "can_buy_stock"])
        for row in loaded["datasets"]:
            self.assertGreaterEqual(row["first_date"], "20230201")
            self.assertLessEqual(row["last_date"], "20230228")
        table = run("load", "--store", store).stdout
        self.assertIn("forward_return_rank_cache", table)

    def test_incremental_build_equals_full_build_apart_from_its_time_stamp(self):
        full, fresh = self.path("full"), self.path("incremental")
        run("build", "--db", self.db, "--start", START, "--end", END, "--store", full)
        run("build", "--db", self.db, "--start", START, "--end", END, "--store", fresh, "--incremental")
        self.assertEqual(load_json(full), load_json(fresh))
        meta_full, cells_full = read_store_with_numpy(full)
        meta_fresh, cells_fresh = read_store_with_numpy(fresh)
        self.assertIn("created_at", meta_full["meta"])
        self.assertIn("updated_at", meta_fresh["meta"])
        for key in cells_full:
            np.testing.assert_array_equal(cells_full[key][2], cells_fresh[key][2], err_msg=key)

    def test_supplement_adds_a_component_the_store_lacks(self):
        store = self.path("supplemented")
        run("build", "--db", self.db, "--start", START, "--end", END, "--store", store)
        extra = "rq_industry_exposure_new"  # any factor with rows can serve as a membership source
        names = "rq_index_components_new_000300.XSHG, " + extra
        first = run("supplement", "--store", store, "--db", self.db, "--components", names)
        self.assertEqual(first.stdout.split(), [extra])
        again = run("supplement", "--store", store, "--db", self.db, "--components", names)
        self.assertIn("nothing to supplement", again.stdout)
        metadata, cells = read_store_with_numpy(store)
        self.assertEqual(metadata["meta"]["component_names"][-1], extra)
        key = metadata["meta"]["component_dataset_keys"][extra]
        mask = cells[key][2]
        self.assertTrue(np.all(np.isnan(mask) | (mask == 1.0)))
        listed = load_json(store, "--components", names)
        self.assertIn(key, [row["key"] for row in listed["datasets"]])

    def test_update_extends_a_store_to_what_an_incremental_build_writes(self):
        store, fresh = self.path("updated"), self.path("rebuilt")
        run("build", "--db", self.db, "--start", START, "--end", "20230315", "--store", store, "--incremental")
        result = json.loads(run("update", "--db", self.db, "--store", store, "--end", END, "--json").stdout)
        self.assertEqual(result["outcome"], "extended")
        self.assertEqual(result["reread_from"], "20230316")
        self.assertEqual(result["added_dates"][0], "20230316")
        run("build", "--db", self.db, "--start", START, "--end", END, "--store", fresh, "--incremental")
        meta_updated, cells_updated = read_store_with_numpy(store)
        meta_rebuilt, cells_rebuilt = read_store_with_numpy(fresh)
        self.assertEqual(meta_updated["meta"]["end_date"], END)
        self.assertEqual(cells_updated.keys(), cells_rebuilt.keys())
        for key in cells_rebuilt:
            self.assertEqual(cells_updated[key][0], cells_rebuilt[key][0], key)
            self.assertEqual(cells_updated[key][1], cells_rebuilt[key][1], key)
            np.testing.assert_array_equal(cells_updated[key][2], cells_rebuilt[key][2], err_msg=key)
        again = run("update", "--db", self.db, "--store", store, "--end", END)
        self.assertIn("unchanged", again.stdout)

    def test_failures_are_one_line_on_stderr_with_a_non_zero_status(self):
        free_port = socket.socket()
        free_port.bind(("127.0.0.1", 0))
        port = free_port.getsockname()[1]
        free_port.close()
        store = self.path("failures-store")
        run("build", "--db", self.db, "--start", START, "--end", END, "--store", store, "--quiet")
        cases = [
            (("build", "--db", self.path("missing.db"), "--start", START, "--end", END, "--store", self.path("x")),
             "missing.db"),
            (("build", "--db", self.db, "--start", "20230230", "--end", END, "--store", self.path("x")), "20230230"),
            (("load", "--store", self.path("no-store")), "no-store"),
            (("load", "--store", store, "--start", "yesterday"), "yesterday"),
            (("load", "--store", store, "--keys", "no_such_dataset"), "no_such_dataset"),
            (("supplement", "--store", self.path("no-store"), "--db", self.db, "--components", "a"), "no-store"),
            (("download", "--api", f"http://127.0.0.1:{port}", "--store", self.path("dl")), ""),
            (("build", "--db", self.db), "--start"),
            (("frobnicate",), "frobnicate"),
        ]
        for args, mentioned in cases:
            with self.subTest(args=args):
                result = run(*args, check=False)
                self.assertNotEqual(result.returncode, 0)
                self.assertNotIn("Traceback", result.stderr)
                self.assertNotIn("terminate called", result.stderr)
                self.assertTrue(result.stderr.strip(), "no message on stderr")
                self.assertIn(mentioned, result.stderr)


if __name__ == "__main__":
    TOOL = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
