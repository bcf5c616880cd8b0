"""The tool as a person meets it: exit status and messages of every usage error, failures that keep their
cause, help, --json summaries, what load selects, and how download treats its address, token and a package
packed inside one folder.

Usage: command_line_test.py PATH_TO_TOOL   (run by CTest)
"""

import json
import os
import re
import shutil
import socket
import sqlite3
import subprocess
import sys
import tempfile
import unicodedata
import unittest
import zipfile

import tool_support
from tool_support import PackageServer, free_port, load_json, read_store_with_numpy, run

START, END = "20230102", "20230331"
# Names of the argument library's error classes: a message must never show them.
# Every command of the tool; the usage table below holds cases of each.
COMMANDS = ("sample", "build", "load", "supplement", "download", "update", "package", "verify", "clean")
LIBRARY_CLASS_NAMES = ("RequiredError", "ExtrasError", "ConversionError", "ValidationError", "ParseError",
                       "ArgumentMismatch", "CLI::")


class CommandLineTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="velmora-cli-")
        cls.db = cls.path("sample.db")
        run("sample", "--db", cls.db, "--instruments", "40", "--days", "70", "--seed", "3")
        cls.store = cls.path("store")
        run("build", "--db", cls.db, "--start", START, "--end", END, "--store", cls.store, "--quiet")
        with open(cls.path("a-file"), "w") as f:
            f.write("not a directory")
        with open(cls.path("text.db"), "w") as f:
            f.write("not a database at all, just some text that is long enough to be read")
        sqlite3.connect(cls.path("tables.db")).execute("CREATE TABLE other (x)").connection.close()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    @classmethod
    def path(cls, *names):
        return os.path.join(cls.work, *names)

    def listing(self):
        return sorted(os.path.relpath(os.path.join(root, name), self.work)
                      for root, dirs, files in os.walk(self.work) for name in dirs + files)

    def assert_one_line_failure(self, result, *mentioned):
        self.assertEqual(result.returncode, 1, result.stderr)
        lines = result.stderr.splitlines()
        self.assertEqual(len(lines), 1, result.stderr)
        self.assertTrue(lines[0].startswith("velmora-backtest: "), lines[0])
        for text in mentioned:
            self.assertIn(text, lines[0])
        return lines[0]

    def test_usage_errors_exit_2_with_one_line_and_a_pointer_to_help(self):
        db, store, out = self.db, self.store, self.path("new-store")
        build = ("build", "--db", db, "--start", START, "--end", END, "--store", out)
        cases = [
            # (arguments, command named in the pointer to help, text the message line holds)
            ((), "", "no command given"),
            (("frobnicate",), "", "unknown command 'frobnicate'"),
            (("help", "frobnicate"), "", "unknown command 'frobnicate'"),
            (("help", "build", "load"), "", "at most one command"),
            (("build", "--db", db), "build", "--start is required"),
            (build + ("--bogus",), "build", "--bogus"),
            (("build", "--db", db, "--start", "20231301", "--end", END, "--store", out), "build",
             "--start '20231301' is not a date: use YYYYMMDD, YYYY-MM-DD or YYYY/MM/DD"),
            (("build", "--db", db, "--start", "20230230", "--end", END, "--store", out), "build", "20230230"),
            (("build", "--db", db, "--start", "2023-02-30", "--end", END, "--store", out), "build", "2023-02-30"),
            (("build", "--db", db, "--start", "yesterday", "--end", END, "--store", out), "build", "yesterday"),
            (("build", "--db", db, "--start", START, "--end", "2023/13/01", "--store", out), "build", "2023/13/01"),
            (("build", "--db", db, "--start", "20230301", "--end", "2023-02-01", "--store", out), "build",
             "--start 20230301 is after --end 20230201"),
            (("build", "--db", db, "--start", START, "--end", END, "--store", self.path("a-file")), "build",
             "is a file, not a directory"),
            (("build", "--db", db, "--start", START, "--end", END, "--store", self.path("a-file", "x")), "build",
             "is not a directory"),
            (("build", "--db", self.path("missing.db"), "--start", START, "--end", END, "--store", out), "build",
             "missing.db: no such file"),
            (("build", "--db", self.path("text.db"), "--start", START, "--end", END, "--store", out), "build",
             "not a SQLite database"),
            (("build", "--db", self.path("tables.db"), "--start", START, "--end", END, "--store", out), "build",
             "lacks the table factor_values"),
            (("build", "--db", self.work, "--start", START, "--end", END, "--store", out), "build", "is a directory"),
            (("sample", "--db", self.path("s.db"), "--days", "-5"), "sample", "--days must be between 1 and"),
            (("sample", "--db", self.path("s.db"), "--days", "0"), "sample", "not 0"),
            (("sample", "--db", self.path("s.db"), "--days", "100000000"), "sample", "not 100000000"),
            (("sample", "--db", self.path("s.db"), "--instruments", "-1"), "sample", "--instruments"),
            (("sample", "--db", self.path("s.db"), "--days", "abc"), "sample", "abc"),
            (("sample", "--db", self.path("s.db"), "--start", "2023-02-29"), "sample", "2023-02-29"),
            (("sample", "--db", self.work), "sample", "is a directory"),
            (("sample", "--db", self.db), "sample", "--db " + self.db + " exists: give --force to replace it"),
            (("sample", "--db", self.path("s.db"), "--layout", "sideways"), "sample",
             "--layout must be by-date or by-factor, not 'sideways'"),
            (("sample", "--db", self.path("s.db"), "--layout", ""), "sample", "--layout must be by-date or by-factor, not ''"),
            (("sample", "--db", self.path("s.db"), "--layout", "1"), "sample", "not '1'"),
            (("sample", "--db", self.path("s.db"), "--layout", "by_factor"), "sample", "not 'by_factor'"),
            (("sample", "--db", self.path("no-dir", "s.db")), "sample", "no-dir is not a directory"),
            (("load", "--store", store, "--start", "yesterday"), "load",
             "--start 'yesterday' is not a date: use YYYYMMDD, YYYY-MM-DD or YYYY/MM/DD"),
            (("load", "--store", self.path("no-store")), "load", "--store " + self.path("no-store") + " is not a directory"),
            (("load", "--store", self.path("a-file")), "load", "--store " + self.path("a-file") + " is not a directory"),
            (("load", "--store", store, "--start", "20230301", "--end", "20230201"), "load", "is after"),
            (("load", "--store", store, "--keys", "no_such_dataset,close_price"), "load", "no_such_dataset"),
            (("load", "--store", store, "--components", "no_such_component"), "load", "no_such_component"),
            (("supplement", "--store", store, "--db", db, "--components", " , "), "supplement",
             "--components names no component factor"),
            (("supplement", "--store", self.path("no-store"), "--db", db, "--components", "a"), "supplement",
             "no-store is not a directory"),
            (("supplement", "--store", store, "--db", self.path("text.db"), "--components", "a"), "supplement",
             "not a SQLite database"),
            (("update", "--db", db), "update", "--store is required"),
            (("update", "--db", db, "--store", store, "--end", "2023-02-30"), "update",
             "--end '2023-02-30' is not a date: use YYYYMMDD, YYYY-MM-DD or YYYY/MM/DD"),
            (("update", "--db", db, "--store", store, "--from", "yesterday"), "update", "yesterday"),
            (("update", "--db", db, "--store", store, "--from", "20230301", "--end", "2023-02-01"), "update",
             "--from 20230301 is after --end 20230201: there is nothing to read again"),
            (("update", "--db", db, "--store", self.path("no-store")), "update", "no-store is not a directory"),
            (("update", "--db", self.path("text.db"), "--store", store), "update", "not a SQLite database"),
            (("download", "--api", "/", "--store", out), "download", "--api names no address"),
            (("download", "--api", "http://127.0.0.1:9", "--store", self.path("a-file")), "download",
             "is a file"),
            (("package", "--store", self.path("no-store"), "--out", self.path("p.zip")), "package", "no-store"),
            (("package", "--store", store, "--out", self.work), "package", "is a directory"),
            (("verify",), "verify", "--store is required"),
            (("verify", "--store", self.path("no-store")), "verify", "--store " + self.path("no-store") + " is not a directory"),
            (("verify", "--store", self.path("a-file")), "verify", "--store " + self.path("a-file") + " is not a directory"),
            (("clean",), "clean", "--store is required"),
            (("clean", "--store", self.path("no-store"), "--dry-run"), "clean", "no-store"),
        ]
        before = self.listing()
        for args, command, mentioned in cases:
            with self.subTest(args=args):
                result = run(*args, check=False)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertEqual(result.stdout, "")
                lines = result.stderr.splitlines()
                self.assertEqual(len(lines), 2, result.stderr)
                prefix = "velmora-backtest" + (" " + command if command else "") + ": "
                self.assertTrue(lines[0].startswith(prefix), lines[0])
                self.assertIn(mentioned, lines[0])
                self.assertEqual(lines[1], "see 'velmora-backtest " + (command + " " if command else "") + "--help'")
                for name in LIBRARY_CLASS_NAMES:
                    self.assertNotIn(name, result.stderr)
        # Refused before any work: nothing was created, no store, no partial file, no lock file.
        self.assertEqual(self.listing(), before)
        self.assertEqual({args[0] for args, command, _ in cases if command}, set(COMMANDS))

    def test_help_as_a_command_and_as_an_option(self):
        overview = run("help").stdout
        for command in COMMANDS + ("help",):
            self.assertIn(command, overview)
        for args in (("help", "build"), ("build", "--help")):
            text = run(*args).stdout
            for option in ("--batch", "--allow-empty", "--wait", "--json"):
                self.assertIn(option, text)
            self.assertIn("Every build replaces the store", text)
            self.assertNotIn("--incremental", text)  # a hidden alias of --batch
        for args in (("help", "--help"), ("help", "-h"), ("help", "help")):
            self.assertIn("Describe every command, or one", run(*args).stdout)
        update = run("update", "--help").stdout
        self.assertEqual(update.count("YYYYMMDD, YYYY-MM-DD or YYYY/MM/DD"), 2, update)
        download = run("download", "--help").stdout
        for text in ("GET <api>/api/v1/backtest-data/benchmark-data", "Authorization: Bearer <token>",
                     '{"download_url": "https://...", "content_type": "application/zip"}'):
            self.assertIn(text, download)

    def test_failures_exit_1_with_their_chain_of_causes_and_leave_nothing_behind(self):
        closed = f"http://127.0.0.1:{free_port()}"
        # The cloud service is unreachable: the client's message holds curl's own text.
        line = self.assert_one_line_failure(run("download", "--api", closed, "--store", self.path("dl1", "store"),
                                                check=False))
        self.assertIn("Couldn't connect to server", line)
        # The address is handed out but the transfer fails: the library's message, then curl's.
        archive = self.path("good.zip")
        run("package", "--store", self.store, "--out", archive)
        with PackageServer(archive, download_url=closed + "/package.zip") as server:
            line = self.assert_one_line_failure(
                run("download", "--api", server.url, "--store", self.path("dl2", "store"), check=False),
                "velmora-backtest: cannot download the benchmark package: 下载回测基准数据失败: 网络错误: GET "
                + closed + "/package.zip failed: ")
            self.assertIn("Couldn't connect to server", line)
        # A member whose bytes do not match its CRC-32: the library's message, the member, libzip's text.
        damaged = self.path("damaged.zip")
        with zipfile.ZipFile(damaged, "w", zipfile.ZIP_STORED) as z:
            z.writestr("readme.txt", "fine")
            z.writestr("values.bin", b"0123456789" * 50)
        with open(damaged, "r+b") as f:
            data = f.read()
            f.seek(data.index(b"0123456789"))
            f.write(b"X")
        with PackageServer(damaged) as server:
            line = self.assert_one_line_failure(
                run("download", "--api", server.url, "--store", self.path("dl3", "store"), check=False),
                "velmora-backtest: cannot download the benchmark package: 回测基准数据包损坏,无法解压: ", "values.bin")
            self.assertIn("CRC", line)
        # A failed command leaves no directory it created behind (store, parents, temp, lock file).
        for name in ("dl1", "dl2", "dl3"):
            self.assertFalse(os.path.exists(self.path(name)), name)
        no_dates = self.path("fresh", "store")
        self.assert_one_line_failure(
            run("build", "--db", self.db, "--start", "20200101", "--end", "20200301", "--store", no_dates,
                check=False), "velmora-backtest: cannot build the store: ", "基准日频数据为空")
        self.assertFalse(os.path.exists(self.path("fresh")))

    def test_sample_start_accepts_the_date_forms_of_build(self):
        for start in ("2023-01-04", "2023/01/04", "20230104"):
            with self.subTest(start=start):
                out = run("sample", "--db", self.path("tiny.db"), "--force", "--instruments", "2", "--days", "3",
                          "--start", start).stdout
                self.assertIn("(20230104 to 20230106)", out)
        self.assertFalse([name for name in os.listdir(self.work) if name.endswith(".partial")])

    def test_sample_layouts_store_the_same_rows_in_either_order(self):
        rows = {}
        for layout in ("by-date", "by-factor", "BY-FACTOR"):
            with self.subTest(layout=layout):
                db = self.path("layout-" + layout + ".db")
                run("sample", "--db", db, "--instruments", "5", "--days", "4", "--layout", layout, "--quiet")
                connection = sqlite3.connect(db)
                try:
                    stored = [row[0] for row in connection.execute("SELECT factor FROM factor_values ORDER BY rowid")]
                    rows[layout] = connection.execute(
                        "SELECT factor, order_book_id, date, value FROM factor_values ORDER BY factor, rowid").fetchall()
                finally:
                    connection.close()
                self.assertTrue(rows[layout])
                # Factor by factor, every factor's rows lie together; day by day, they alternate.
                self.assertEqual(stored == sorted(stored), layout != "by-date")
        self.assertEqual(rows["by-factor"], rows["by-date"])
        self.assertEqual(rows["BY-FACTOR"], rows["by-date"])

    def test_load_shows_the_stores_components_selects_benchmarks_and_reports_the_range_loaded(self):
        store = self.path("load-store")
        run("build", "--db", self.db, "--start", START, "--end", END, "--store", store, "--quiet")
        extra = "rq_industry_exposure_new"
        run("supplement", "--store", store, "--db", self.db, "--components", extra, "--quiet")
        metadata, _ = read_store_with_numpy(store)
        extra_key = metadata["meta"]["component_dataset_keys"][extra]

        everything = load_json(store)
        keys = [row["key"] for row in everything["datasets"]]
        self.assertIn(extra_key, keys)  # the store's own component list, without --components
        self.assertEqual([k for k in keys if k.startswith("benchmark_dict/")],
                         ["benchmark_dict/" + name for name in metadata["benchmark_dict"]])

        chosen = load_json(store, "--keys", "close_price,000300,benchmark_dict/000905")
        self.assertEqual([row["key"] for row in chosen["datasets"]],
                         ["close_price", "benchmark_dict/000300", "benchmark_dict/000905"])
        series = load_json(store, "--keys", "benchmark_dict")
        self.assertEqual(len(series["datasets"]), len(metadata["benchmark_dict"]))

        # Saturday to Sunday: the range loaded is the weekdays between, not the bounds asked for.
        ranged = load_json(store, "--start", "20230107", "--end", "2023-01-15", "--keys", "close_price")
        self.assertEqual((ranged["start_date"], ranged["end_date"]), ("20230109", "20230113"))
        self.assertEqual((ranged["store_start_date"], ranged["store_end_date"]), (START, END))

        unknown = run("load", "--store", store, "--components", "nope," + extra, check=False)
        self.assertEqual(unknown.returncode, 2)
        self.assertIn(extra, unknown.stderr.splitlines()[0])  # lists what the store has

    def test_json_summaries_of_the_writing_commands(self):
        store = self.path("json-store")
        built = json.loads(run("build", "--db", self.db, "--start", START, "--end", END, "--store", store,
                               "--json").stdout)
        self.assertEqual((built["start_date"], built["end_date"], built["datasets"]), (START, END, 17))
        self.assertEqual(built["dates"], len(read_store_with_numpy(store)[1]["close_price"][0]))
        extra = "rq_industry_exposure_new"
        names = "rq_index_components_new_000300.XSHG," + extra
        added = json.loads(run("supplement", "--store", store, "--db", self.db, "--components", names,
                               "--json").stdout)
        self.assertEqual(added["added"], [extra])
        self.assertEqual(added["already_present"], ["rq_index_components_new_000300.XSHG"])
        rebuilt = json.loads(run("build", "--db", self.db, "--start", START, "--end", END, "--store", store,
                                 "--json", "--batch").stdout)
        self.assertEqual(rebuilt["kept_components"], [extra])

    def test_download_address_token_and_a_package_packed_in_one_folder(self):
        publish = self.path("publish")
        shutil.copytree(self.store, os.path.join(publish, "enviroment_data"))
        archive = self.path("nested.zip")
        run("package", "--store", publish, "--out", archive)
        env = dict(os.environ, VELMORA_TOKEN="from-env")
        fetched = self.path("fetched", "store")
        with PackageServer(archive) as server:
            result = run("download", "--api", server.url + "/", "--store", fetched, env=env)
            self.assertEqual(server.requests[0], ("/api/v1/backtest-data/benchmark-data", "Bearer from-env"))
        self.assertIn("one folder, enviroment_data/", result.stdout)
        self.assertEqual(load_json(fetched), load_json(self.store))
        self.assertEqual(os.listdir(self.path("fetched", "temp")), [])

        again = self.path("fetched-json", "store")
        with PackageServer(archive) as server:
            summary = json.loads(run("download", "--api", server.url, "--token", "given", "--store", again,
                                     "--json", env=env).stdout)
            self.assertEqual(server.requests[0][1], "Bearer given")
        self.assertEqual(summary["flattened"], "enviroment_data")
        self.assertTrue(os.path.exists(os.path.join(again, "metadata.pkl")))

    def test_a_download_over_a_store_leaves_no_orphan_after_the_next_build(self):
        # The package holds a different range than the store, so every data file of the store is replaced.
        published = self.path("orphans-published")
        run("build", "--db", self.db, "--start", "20230201", "--end", END, "--store", published, "--quiet")
        archive = self.path("orphans.zip")
        run("package", "--store", published, "--out", archive)
        store = self.path("orphans", "store")
        shutil.copytree(self.store, store)
        mine = os.path.join(store, "returns.1234567890abcdef.npy")
        with open(mine, "wb") as f:
            f.write(b"mine")
        old_files = set(os.listdir(store))
        with PackageServer(archive) as server:
            run("download", "--api", server.url, "--token", "t", "--store", store)
        self.assertTrue(old_files <= set(os.listdir(store)), "the download itself keeps the old files")

        run("build", "--db", self.db, "--start", START, "--end", END, "--store", store, "--quiet")
        with open(os.path.join(store, "manifest.json")) as f:
            listed = {record["path"] for record in json.load(f)["files"]}
        self.assertEqual(set(os.listdir(store)), listed | {"manifest.json", "metadata.pkl",
                                                           "returns.1234567890abcdef.npy"})
        with open(mine, "rb") as f:
            self.assertEqual(f.read(), b"mine")
        self.assertEqual(run("verify", "--store", store).stderr, "")

    def test_the_readmes_example_service_serves_a_download_and_a_failure_names_the_address(self):
        with open(os.path.join(os.path.dirname(__file__), "..", "..", "README.md")) as f:
            readme = f.read()
        example = next(block for block in re.findall(r"```python\n(.*?)```", readme, re.S)
                       if "benchmark-data" in block)
        serve = self.path("serve.py")
        with open(serve, "w") as f:
            f.write(example)
        archive = self.path("served.zip")
        run("package", "--store", self.store, "--out", archive)
        port = free_port()
        server = subprocess.Popen(["/usr/bin/python3", serve, archive, str(port), "the-token"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            api = f"http://127.0.0.1:{port}"
            while server.poll() is None:  # until it listens
                with socket.socket() as probe:
                    if probe.connect_ex(("127.0.0.1", port)) == 0:
                        break
            fetched = self.path("served", "store")
            run("download", "--api", api, "--token", "the-token", "--store", fetched)
            self.assertEqual(load_json(fetched), load_json(self.store))

            refused = run("download", "--api", api, "--token", "a-wrong-token", "--store",
                          self.path("refused", "store"), check=False)
            self.assert_one_line_failure(refused, f"GET {api}/api/v1/backtest-data/benchmark-data", "401")
            self.assertNotIn("a-wrong-token", refused.stderr)
        finally:
            server.kill()
            server.wait()

    def test_package_ships_the_manifests_files_and_not_the_users_own(self):
        store = self.path("package-store")
        shutil.copytree(self.store, store)
        with open(os.path.join(store, "returns.1234567890abcdef.npy"), "wb") as f:
            f.write(b"private")
        archive = self.path("package-store.zip")
        run("package", "--store", store, "--out", archive)
        with open(os.path.join(store, "manifest.json")) as f:
            listed = {record["path"] for record in json.load(f)["files"]}
        with zipfile.ZipFile(archive) as z:
            self.assertEqual(set(z.namelist()), listed | {"manifest.json", "metadata.pkl"})
            self.assertIsNone(z.testzip())

    def test_verify_warns_of_leftovers_and_clean_removes_them(self):
        root = self.path("leftovers")
        store = os.path.join(root, "store")
        shutil.copytree(self.store, store)
        with open(os.path.join(store, ".pending_files"), "w") as f:
            f.write("close_price.00000000000000aa.npy\n")
        left = {os.path.join(store, "close_price.00000000000000aa.npy"): b"p" * 3000,
                os.path.join(store, "metadata.pkl.0123456789abcdef.tmp"): b"t",
                os.path.join(root, ".store.staging-0123456789abcdef", "a.npy"): b"s" * 10,
                os.path.join(root, "temp", "download_x.pkg"): b"z" * 5}
        for path, data in left.items():
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        mine = os.path.join(store, "returns.1234567890abcdef.npy")
        with open(mine, "wb") as f:
            f.write(b"mine")

        verified = run("verify", "--store", store)  # exit 0: leftovers are warnings
        self.assertIn("sound", verified.stdout)
        self.assertIn("close_price.00000000000000aa.npy: partial or replaced file of an unfinished write, 2.9 KiB",
                      verified.stderr)
        self.assertIn(".store.staging-0123456789abcdef: staging directory of an interrupted download, 10 bytes",
                      verified.stderr)
        self.assertIn("warning: 5 leftovers", verified.stderr)
        self.assertNotIn("returns.1234567890abcdef", verified.stderr)

        dry = run("clean", "--store", store, "--dry-run")
        self.assertIn("would remove 5 leftovers", dry.stdout)
        self.assertTrue(all(os.path.exists(path) for path in left))
        cleaned = run("clean", "--store", store)
        self.assertIn("removed 5 leftovers", cleaned.stdout)
        self.assertFalse(any(os.path.exists(path) for path in left))
        self.assertFalse(os.path.exists(os.path.join(store, ".pending_files")))
        with open(mine, "rb") as f:
            self.assertEqual(f.read(), b"mine")
        again = run("verify", "--store", store)
        self.assertEqual(again.stderr, "")
        self.assertEqual(len(load_json(store)["datasets"]), len(load_json(self.store)["datasets"]))
        self.assertIn("no leftovers", run("clean", "--store", store).stdout)

    def test_verify_prints_every_fault(self):
        store = self.path("verify-store")
        shutil.copytree(self.store, store)
        sound = run("verify", "--store", store)
        self.assertIn("sound", sound.stdout)
        metadata, _ = read_store_with_numpy(store)
        first = metadata["datasets"]["close_price"]["file"]
        second = metadata["datasets"]["open_price"]["file"]
        with open(os.path.join(store, first), "r+b") as f:
            f.seek(-1, 2)
            f.write(b"\x7f")
        os.remove(os.path.join(store, second))
        result = run("verify", "--store", store, check=False)
        self.assertEqual(result.returncode, 1)
        self.assertIn(first, result.stdout)
        self.assertIn(second, result.stdout)
        self.assertIn("faults", result.stderr)


    @staticmethod
    def status_lines(arguments, columns):
        """Every redraw of the status line of the tool run with `arguments` on a terminal `columns` wide."""
        status, shown = tool_support.run_on_a_terminal(arguments, columns)
        assert status == 0, arguments
        redraws = [part.replace("\x1b[K", "") for part in re.split(r"[\r\n]", shown)]
        return [part for part in redraws if part]

    def test_progress_on_a_narrow_terminal_ticks_and_never_wraps(self):
        columns = 34
        db = self.path("a-sample-with-a-long-name-for-the-status-line.db")
        redraws = self.status_lines(["sample", "--db", db, "--instruments", "300", "--days", "300"], columns)
        self.assertTrue(redraws, "no progress on a terminal")
        for line in redraws:
            width = sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in line)
            self.assertLess(width, columns, line)
        self.assertTrue(all(line.startswith(("writing the sample", "indexing the sample")) and "\u2026" in line
                            for line in redraws), redraws)
        timers = {re.search(r"\[(\d+\.\d)s\]$", line).group(1) for line in redraws}
        self.assertGreater(len(timers), 2, "the timer did not tick while the step reported nothing")


    def test_sample_and_download_show_their_share_done(self):
        db = self.path("share.db")
        lines = self.status_lines(["sample", "--db", db, "--instruments", "200", "--days", "300"], 120)
        self.assertTrue(any(re.search(r"day \d+ of 300, \d+%, about \d+s left", line) for line in lines), lines)
        archive = self.path("share.zip")
        run("package", "--store", self.store, "--out", archive)
        with PackageServer(archive) as server:
            bars = [line for line in self.status_lines(["download", "--api", server.url, "--store",
                                                        self.path("share", "store")], 40)
                    if line.startswith("downloading")]
        self.assertTrue(bars)
        self.assertTrue(all(re.match(r"downloading \d+\.\d%", line) for line in bars), bars)

    def test_a_build_reads_its_factors_ahead_in_one_pass_through_the_progress_report(self):
        # The progress report wraps the factor service: it must pass the build's read-ahead on, or every
        # factor of a day-by-day database is read through the index, many times slower.
        db = self.path("day-by-day.db")
        run("sample", "--db", db, "--instruments", "300", "--days", "250", "--quiet")
        lines = self.status_lines(["build", "--db", db, "--store", self.path("store"),
                                   "--start", "20230102", "--end", "20231231"], 200)
        self.assertTrue(any(re.match(r"reading \w+ \(\d+ of \d+, \d+%, about \d+s left\)", line) for line in lines),
                        lines)
        ahead = [line for line in lines if re.match(r"reading \d+ factors ahead", line)]
        self.assertTrue(ahead, lines)
        first_single_read = next(i for i, line in enumerate(lines) if line.startswith("reading Close"))
        self.assertLess(lines.index(ahead[0]), first_single_read)
        batch = self.status_lines(["build", "--batch", "--db", db, "--store", self.path("batch-store"),
                                   "--start", "20230102", "--end", "20231231"], 200)
        self.assertTrue(any(re.match(r"reading \d+ factors in one batch", line) for line in batch), batch)


if __name__ == "__main__":
    tool_support.TOOL = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
