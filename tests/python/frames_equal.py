"""Cell-for-cell comparison of payloads and stores as the Python modules give them."""

import numpy as np


def assert_frames_identical(a, b, what):
    assert list(a.index) == list(b.index), what + ": row labels differ"
    assert list(a.columns) == list(b.columns), what + ": column labels differ"
    assert a.values.dtype == b.values.dtype, what + ": cell types differ"
    # bit for bit, NaN equal to NaN
    assert np.array_equal(a.values, b.values, equal_nan=a.values.dtype.kind == "f"), what + ": cells differ"


def assert_data_identical(a, b):
    assert list(a) == list(b), "dataset keys differ"
    for key in a:
        if key == "benchmark_dict":
            assert list(a[key]) == list(b[key])
            for name in a[key]:
                x, y = a[key][name], b[key][name]
                assert list(x.index) == list(y.index), name
                assert np.array_equal(x.values, y.values, equal_nan=True), name
                assert x.name == y.name
        else:
            assert_frames_identical(a[key], b[key], key)
