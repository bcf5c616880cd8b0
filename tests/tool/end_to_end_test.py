"""End-to-end runs of the velmora-backtest tool: the whole publish-and-fetch loop, the batch build, and the
supplement of index-membership matrices.

Usage: end_to_end_test.py PATH_TO_TOOL   (run by CTest)
"""

import json
import os
import shutil
import sys
import tempfile
import unittest

import numpy as np

import tool_support
from tool_support import PackageServer, load_json, read_store_with_numpy, run

START, END = "20230102", "20230331"


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

    def test_batch_build_equals_full_build_apart_from_its_time_stamp(self):
        full, fresh, alias = self.path("full"), self.path("batch"), self.path("incremental")
        run("build", "--db", self.db, "--start", START, "--end", END, "--store", full)
        run("build", "--db", self.db, "--start", START, "--end", END, "--store", fresh, "--batch")
        run("build", "--db", self.db, "--start", START, "--end", END, "--store", alias, "--incremental")
        self.assertEqual(load_json(full), load_json(fresh))
        self.assertEqual(load_json(alias), load_json(fresh))
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
        run("build", "--db", self.db, "--start", START, "--end", "20230315", "--store", store, "--batch")
        result = json.loads(run("update", "--db", self.db, "--store", store, "--end", END, "--json").stdout)
        self.assertEqual(result["outcome"], "extended")
        self.assertEqual(result["reread_from"], "20230316")
        self.assertEqual(result["added_dates"][0], "20230316")
        run("build", "--db", self.db, "--start", START, "--end", END, "--store", fresh, "--batch")
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


if __name__ == "__main__":
    tool_support.TOOL = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
