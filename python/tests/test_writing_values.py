"""What the writer stores for the values it is given: physical limits rounded outward to the
header's eight characters, and samples taken as physical values whatever their dtype unless
they are declared digital, clipped and never wrapped."""

import numpy as np
import pytest

import recording

# Signal 0's physical minimum and maximum fields, with one annotation signal after it.
MIN_FIELD, MAX_FIELD = slice(464, 472), slice(480, 488)


@pytest.mark.parametrize("bdf", [False, True])
@pytest.mark.parametrize(
    "low, high, physical_range, texts",
    [
        # Volts, as MNE holds EEG: cut toward zero, the limits would clip both ends.
        (-1.23456789e-4, 1.23456789e-4, None, (b"-0.00013", b"0.000124")),
        (-1.23456789e-4, 1.23456789e-4, (-1.23456789e-4, 1.23456789e-4),
         (b"-0.00013", b"0.000124")),
        # Texts that the cut would shorten inward.
        (-1234.56789, 123456.789, None, (b"-1234.57", b"123456.8")),
        (9999999.5, 9999999.95, None, (b"9999999.", b"10000000")),
        # Limits that eight characters hold keep their texts (3276.7 no longer "3276.699").
        (-3276.8, 3276.7, None, (b"-3276.8 ", b"3276.7  ")),
        (0.3, 0.7, None, (b"0.3     ", b"0.7     ")),
    ],
)
def test_physical_limits_hold_the_data(tmp_path, bdf, low, high, physical_range, texts):
    path = tmp_path / ("v.bdf" if bdf else "v.edf")
    rng = np.random.default_rng(3)
    data = np.concatenate([[low, high], rng.uniform(low, high, 254)])[None, :]
    recording.write(path, data, rate=256, units="V", bdf=bdf, physical_range=physical_range)
    header = path.read_bytes()[:512]
    assert (header[MIN_FIELD], header[MAX_FIELD]) == tuple(t.ljust(8) for t in texts)
    with recording.open(path) as rec:
        s = rec.signals[0]
        step = (s.physical_max - s.physical_min) / (s.digital_max - s.digital_min)
        assert np.abs(rec.read(0) - data[0]).max() <= step * (1 + 1e-9)


DIGITAL = [
    # dtype, values, expected digital values read back
    (np.int64, [2**40 + 5, -(2**40), 7, -7], [32767, -32768, 7, -7]),
    (np.uint64, [2**64 - 1, 5, 0, 40000], [32767, 5, 0, 32767]),
    (np.int32, [2**31 - 1, -(2**31), 1, 0], [32767, -32768, 1, 0]),
    (np.uint32, [2**32 - 1, 3, 2, 1], [32767, 3, 2, 1]),
    (np.int16, [-32768, 32767, -1, 1], [-32768, 32767, -1, 1]),
    (np.uint8, [255, 0, 1, 2], [255, 0, 1, 2]),
    (np.bool_, [True, False, True, True], [1, 0, 1, 1]),
    (np.float64, [1e300, -1e300, 12.0, -3.0], [32767, -32768, 12, -3]),
    (np.float32, [65536.0, 1.0, 2.0, 3.0], [32767, 1, 2, 3]),
    (object, [2**70, -(2**70), 4, 5], [32767, -32768, 4, 5]),
    (np.float64, [1.5, 0, 0, 0], ValueError),
    (np.float64, [np.nan, 0, 0, 0], ValueError),
    (np.complex128, [1, 2, 3, 4], TypeError),
    ("U3", ["1", "2", "3", "4"], TypeError),
    ("datetime64[s]", [1, 2, 3, 4], TypeError),
]
PHYSICAL = [
    # dtype, values in uV, expected values read back (to within one step)
    (np.int64, [50, 2**40 + 5, -(2**40), -50], [50, 500, -500, -50]),
    (np.uint64, [2**64 - 1, 50, 0, 499], [500, 50, 0, 499]),
    (np.int32, [50, -50, 0, 400], [50, -50, 0, 400]),
    (np.uint16, [50, 600, 0, 1], [50, 500, 0, 1]),
    (np.int8, [-128, 127, 0, 50], [-128, 127, 0, 50]),
    (np.bool_, [True, False, True, False], [1, 0, 1, 0]),
    (np.float16, [50, -50.5, 0.25, 1000], [50, -50.5, 0.25, 500]),
    (np.float32, [50, -50, np.inf, -np.inf], [50, -50, 500, -500]),
    (np.longdouble, [50, -50, 1.5, 0], [50, -50, 1.5, 0]),
    (object, [50, 2**70, -2.5, 0], [50, 500, -2.5, 0]),
    (object, [50, "x", 0, 0], TypeError),
    (np.complex64, [1, 2, 3, 4], TypeError),
    ("S3", [b"1", b"2", b"3", b"4"], TypeError),
]


@pytest.mark.parametrize(
    "digital, dtype, values, expected",
    [(True, *case) for case in DIGITAL] + [(False, *case) for case in PHYSICAL],
)
def test_sample_dtypes(tmp_path, digital, dtype, values, expected):
    path = tmp_path / "d.edf"
    signal = {"label": "EEG", "rate": 4, "unit": "uV", "physical_min": -500,
              "physical_max": 500}
    samples = np.array(values, dtype=dtype)
    with recording.Writer(path, [signal]) as w:
        if isinstance(expected, type):
            with pytest.raises(expected):
                w.write([samples], digital=digital)
            return
        w.write([samples], digital=digital)
    with recording.open(path) as rec:
        if digital:
            assert rec.read(0, digital=True).tolist() == expected
        else:
            np.testing.assert_allclose(rec.read(0), expected, rtol=0, atol=1000 / 65535)
