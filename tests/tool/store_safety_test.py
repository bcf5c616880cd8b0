"""A good store is never lost through the tool: a build without dates is not written over it, a rebuild keeps
the components supplemented into it (or refuses, naming them), two writers never work on it at once, and a
write stopped by SIGINT or SIGTERM leaves the old store (or none) and nothing half-written.

Usage: store_safety_test.py PATH_TO_TOOL   (run by CTest)
"""

import fcntl
import http.server
import json
import os
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import numpy as np

import tool_support
from tool_support import load_json, read_store_with_numpy, run, store_bytes

START, END = "20230102", "20230331"
EXTRA = "rq_industry_exposure_new"  # any factor with rows serves as a membership source


def database_without(source, target, factor):
    shutil.copy(source, target)
    with sqlite3.connect(target) as db:
        db.execute("DELETE FROM factor_values WHERE factor = ?", (factor,))
    return target


class StoreSafetyTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="velmora-safety-")
        cls.db = os.path.join(cls.work, "sample.db")
        run("sample", "--db", cls.db, "--instruments", "60", "--days", "70", "--seed", "5")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def path(self, *names):
        return os.path.join(self.work, *names)

    def build(self, store, *extra, db=None, check=True):
        return run("build", "--db", db or self.db, "--start", START, "--end", END, "--store", store, "--quiet",
                   *extra, check=check)

    def test_a_build_without_dates_is_not_written_over_a_good_store(self):
        store = self.path("good")
        self.build(store)
        before = store_bytes(store)
        empty_source = database_without(self.db, self.path("no-close.db"), "Close")
        refused = self.build(store, db=empty_source, check=False)
        self.assertEqual(refused.returncode, 1)
        self.assertIn("holds no date", refused.stderr)
        self.assertIn("--allow-empty", refused.stderr)
        self.assertEqual(store_bytes(store), before)  # byte for byte
        # Asked for, it is written; and a new store may be empty without asking.
        self.build(store, "--allow-empty", db=empty_source)
        self.assertEqual(load_json(store, "--keys", "close_price")["datasets"][0]["rows"], 0)
        self.build(self.path("new-empty"), db=empty_source)

    def test_a_build_without_dates_into_a_new_store_is_written_and_says_so(self):
        empty_source = database_without(self.db, self.path("no-close-new.db"), "Close")
        store = self.path("new-empty", "store")
        built = self.build(store, db=empty_source)
        self.assertIn("0 dates", built.stdout)
        self.assertEqual(built.stderr, f"note: the build of {START} to {END} holds no date (the database has no "
                                       f"Close rows in that range); the store {store} was written without data\n")
        run("verify", "--store", store)

    def test_a_store_whose_metadata_is_damaged_is_mended_by_a_rebuild(self):
        store = self.path("damaged")
        self.build(store)
        with open(os.path.join(store, "metadata.pkl"), "wb") as f:
            f.write(b"not a pickle")
        self.assertEqual(run("load", "--store", store, check=False).returncode, 1)
        self.build(store)
        self.assertEqual(len(load_json(store)["datasets"]), 17 + 3)

    def test_a_rebuild_keeps_the_supplemented_components_or_names_those_it_would_lose(self):
        store = self.path("supplemented")
        self.build(store)
        run("supplement", "--store", store, "--db", self.db, "--components", EXTRA, "--quiet")
        metadata, cells = read_store_with_numpy(store)
        key = metadata["meta"]["component_dataset_keys"][EXTRA]

        rebuilt = self.build(store, "--batch")
        self.assertIn("kept the supplemented components " + EXTRA, rebuilt.stdout)
        metadata_after, cells_after = read_store_with_numpy(store)
        self.assertEqual(metadata_after["meta"]["component_names"], metadata["meta"]["component_names"])
        self.assertEqual(metadata_after["meta"]["component_dataset_keys"][EXTRA], key)
        np.testing.assert_array_equal(cells_after[key][2], cells[key][2])
        self.assertIn(key, [row["key"] for row in load_json(store)["datasets"]])

        before = store_bytes(store)
        without_extra = database_without(self.db, self.path("no-extra.db"), EXTRA)
        refused = self.build(store, db=without_extra, check=False)
        self.assertEqual(refused.returncode, 1)
        self.assertIn("would lose component masks the store holds: " + EXTRA, refused.stderr)
        self.assertEqual(store_bytes(store), before)

    def test_a_rebuild_drops_the_supplemented_components_it_is_told_to(self):
        store = self.path("dropping")
        self.build(store)
        run("supplement", "--store", store, "--db", self.db, "--components", EXTRA, "--quiet")
        without_extra = database_without(self.db, self.path("no-extra-for-drop.db"), EXTRA)
        before = store_bytes(store)
        for names, refused_name in (("typo", "typo"), ("Close," + EXTRA, "Close")):
            with self.subTest(drop=names):
                refused = self.build(store, "--drop-components", names, db=without_extra, check=False)
                self.assertEqual(refused.returncode, 1)
                self.assertIn(f"cannot drop {refused_name}: the store {store} holds no such supplemented component "
                              f"(it holds: {EXTRA})", refused.stderr)
                self.assertEqual(store_bytes(store), before)

        dropped = self.build(store, "--drop-components", EXTRA, db=without_extra)
        self.assertIn("dropped the supplemented components " + EXTRA, dropped.stdout)
        metadata, _ = read_store_with_numpy(store)
        self.assertNotIn(EXTRA, metadata["meta"]["component_names"])
        self.assertNotIn(EXTRA, metadata["meta"].get("component_dataset_keys", {}))
        # Nothing left to keep: the next rebuild from the same database succeeds without the option.
        self.build(store, db=without_extra)

    def hold_lock(self, store):
        """Takes the store's writer lock as another writer process would: flock on the lock file beside the
        store, with this process's pid in it."""
        parent = os.path.realpath(os.path.dirname(store))
        handle = open(os.path.join(parent, "." + os.path.basename(store) + ".lock"), "a+")
        fcntl.flock(handle, fcntl.LOCK_EX)
        handle.truncate(0)
        handle.write(str(os.getpid()))
        handle.flush()
        return handle

    def test_a_second_writer_fails_naming_the_holder_or_waits_when_asked(self):
        store = self.path("locked")
        self.build(store)
        before = store_bytes(store)
        holder = self.hold_lock(store)
        try:
            for args in (("build", "--db", self.db, "--start", START, "--end", END, "--store", store),
                         ("supplement", "--store", store, "--db", self.db, "--components", EXTRA),
                         ("update", "--db", self.db, "--store", store, "--end", END),
                         ("download", "--api", "http://127.0.0.1:9", "--store", store)):
                with self.subTest(command=args[0]):
                    refused = run(*args, "--quiet", check=False)
                    self.assertEqual(refused.returncode, 1)
                    self.assertEqual(len(refused.stderr.splitlines()), 1, refused.stderr)
                    self.assertIn(f"pid {os.getpid()}", refused.stderr)
            self.assertEqual(store_bytes(store), before)

            waiting = subprocess.Popen([tool_support.TOOL, "build", "--db", self.db, "--start", START, "--end", END,
                                        "--store", store, "--quiet", "--wait", "--json"],
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            time.sleep(1.5)
            self.assertIsNone(waiting.poll(), "a build with --wait did not wait for the lock")
            self.assertEqual(store_bytes(store), before)
        finally:
            holder.close()  # releases the lock
        out, err = waiting.communicate(timeout=300)
        self.assertEqual(waiting.returncode, 0, err)
        # The time reported is the build's own, not the second and a half it waited for the lock.
        self.assertLess(json.loads(out)["seconds"], 1.5)
        self.assertEqual(len(load_json(store)["datasets"]), 17 + 3)

    def test_two_concurrent_builds_leave_a_store_that_loads(self):
        store = self.path("concurrent")
        self.build(store)
        for wait in ((), ("--wait",)):
            with self.subTest(wait=wait):
                args = [tool_support.TOOL, "build", "--db", self.db, "--start", START, "--end", END, "--store",
                        store, "--quiet", *wait]
                writers = [subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                           for _ in range(2)]
                results = [(w.returncode, err) for w in writers for _, err in [w.communicate(timeout=300)]]
                for status, err in results:
                    if wait or status == 0:
                        self.assertEqual(status, 0, err)
                    else:
                        self.assertEqual(status, 1)
                        self.assertIn("pid", err)  # the other writer's
                self.assertTrue(any(status == 0 for status, _ in results))
                self.assertEqual(len(load_json(store)["datasets"]), 17 + 3)
                run("verify", "--store", store)

    @staticmethod
    def interrupt_on_a_terminal(arguments, shown_text, signo, after_signal=None):
        """Runs the tool with its progress on a terminal, sends `signo` once `shown_text` appears and then calls
        `after_signal`, and returns its exit status and everything it showed."""
        sent = []

        def signal_once_shown(command, shown):
            if not sent and shown_text in shown:
                command.send_signal(signo)
                sent.append(signo)
                if after_signal:
                    after_signal()

        status, shown = tool_support.run_on_a_terminal(arguments, 200, signal_once_shown)
        assert sent, shown
        return status, shown

    def big_database(self):
        # Large enough that writing its store takes long beside the delivery of a signal.
        db = self.path("big.db")
        if not os.path.exists(db):
            run("sample", "--db", db, "--instruments", "2000", "--days", "250", "--quiet")
        return db

    def assert_nothing_half_written(self, parent):
        names = [name for _, dirs, files in os.walk(parent) for name in dirs + files]
        self.assertFalse([name for name in names if name.startswith(".pending") or name.endswith(".tmp")
                          or ".staging-" in name or ".previous-" in name], names)

    def test_sigint_or_sigterm_during_a_build_leaves_the_old_store_and_nothing_half_written(self):
        db = self.big_database()
        for stage, signo in (("reading", signal.SIGTERM), ("writing the store", signal.SIGINT)):
            with self.subTest(stage=stage, signal=signo):
                parent = self.path(f"interrupted-{signo}")
                store = os.path.join(parent, "store")
                self.build(store)
                before = store_bytes(store)
                status, shown = self.interrupt_on_a_terminal(
                    ["build", "--db", db, "--start", START, "--end", "20231231", "--store", store], stage, signo)
                self.assertEqual(status, 128 + signo, shown)
                self.assertIn("interrupted", shown)
                self.assertEqual(store_bytes(store), before)
                self.assert_nothing_half_written(parent)
                self.assertEqual(run("verify", "--store", store).stderr, "")

    def test_sigint_during_the_first_build_of_a_store_leaves_no_store(self):
        parent = self.path("first-interrupted")
        os.makedirs(parent)
        store = os.path.join(parent, "new", "store")
        status, shown = self.interrupt_on_a_terminal(
            ["build", "--db", self.big_database(), "--start", START, "--end", "20231231", "--store", store],
            "writing the store", signal.SIGINT)
        self.assertEqual(status, 130, shown)
        self.assertEqual(os.listdir(parent), [])

    def test_sigint_while_writing_a_sample_database_leaves_no_file(self):
        parent = self.path("sample-interrupted")
        os.makedirs(parent)
        status, shown = self.interrupt_on_a_terminal(
            ["sample", "--db", os.path.join(parent, "s.db"), "--instruments", "2000", "--days", "250"],
            "day 1 of 250", signal.SIGINT)
        self.assertEqual(status, 130, shown)
        self.assertIn("interrupted", shown)
        self.assertEqual(os.listdir(parent), [])

    def test_sigint_during_a_stalled_download_leaves_the_old_store_and_no_archive(self):
        # The package's first half arrives, then nothing until the test ends: only the interruption ends it.
        stalled = threading.Event()

        class Stalling(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_GET(self):
                if self.path == "/api/v1/backtest-data/benchmark-data":
                    address = f"http://127.0.0.1:{self.server.server_address[1]}/package.zip"
                    body = json.dumps({"download_url": address}).encode()
                    self.send_response(200)
                    self.send_header("Content-Length", str(len(body)))
                    self.end_headers()
                    self.wfile.write(body)
                    return
                self.send_response(200)
                self.send_header("Content-Length", str(4 << 20))
                self.end_headers()
                self.wfile.write(b"\0" * (2 << 20))
                self.wfile.flush()
                stalled.wait()

        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Stalling)
        server.daemon_threads = True
        threading.Thread(target=server.serve_forever, daemon=True).start()
        parent = self.path("download-interrupted")
        store = os.path.join(parent, "store")
        self.build(store)
        before = store_bytes(store)
        try:
            status, shown = self.interrupt_on_a_terminal(
                ["download", "--api", f"http://127.0.0.1:{server.server_address[1]}", "--store", store],
                "downloading", signal.SIGINT)
        finally:
            stalled.set()
            server.shutdown()
            server.server_close()
        self.assertEqual(status, 130, shown)
        self.assertIn("interrupted", shown)
        self.assertEqual(store_bytes(store), before)
        self.assert_nothing_half_written(parent)
        self.assertFalse(os.path.exists(os.path.join(parent, "temp")), "the download created it and removes it")

    def test_sigint_while_waiting_for_another_writer_stops_before_any_read(self):
        store = self.path("interrupted-waiting")
        self.build(store)
        before = store_bytes(store)
        holder = self.hold_lock(store)
        try:
            status, shown = self.interrupt_on_a_terminal(
                ["build", "--db", self.db, "--start", START, "--end", END, "--store", store, "--wait"],
                "waiting for the writer", signal.SIGINT, after_signal=holder.close)
        finally:
            holder.close()
        self.assertEqual(status, 130, shown)
        self.assertNotIn("reading", shown)
        self.assertEqual(store_bytes(store), before)


if __name__ == "__main__":
    tool_support.TOOL = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
