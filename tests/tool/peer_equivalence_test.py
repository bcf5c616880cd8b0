"""The pandas peer of the macro benchmark computes the same prepared data as the library, cell for cell, on a
sample database at the benchmark's smallest scale, so that the timing race compares equal work.

Usage: peer_equivalence_test.py PATH_TO_TOOL SOURCE_DIR   (run by CTest)
"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

TOOL = SOURCE = None


class PeerEquivalenceTest(unittest.TestCase):
    def test_peer_and_library_write_equal_matrices(self):
        work = tempfile.mkdtemp(prefix="velmora-peer-")
        try:
            db, store, peer = (os.path.join(work, n) for n in ("s.db", "store", "peer"))
            subprocess.run([TOOL, "sample", "--db", db, "--instruments", "300", "--days", "250", "--seed", "5"],
                           check=True, capture_output=True)
            subprocess.run([TOOL, "build", "--db", db, "--start", "20230102", "--end", "20231215", "--store", store,
                            "--quiet"], check=True, capture_output=True)
            subprocess.run([sys.executable, os.path.join(SOURCE, "bench", "peer_pandas.py"), "--db", db, "--start",
                            "20230102", "--end", "20231215", "--out", peer], check=True, capture_output=True)
            compared = subprocess.run([sys.executable, os.path.join(SOURCE, "bench", "compare_stores.py"), "--peer",
                                       peer, "--ours", store], capture_output=True, text=True)
            self.assertEqual(compared.returncode, 0, compared.stdout + compared.stderr)
        finally:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    TOOL = os.path.abspath(sys.argv.pop(1))
    SOURCE = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
