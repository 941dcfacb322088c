"""The text of floats in ASCII saves: the fewest digits that read back to the same bits, laid out
as std::to_chars lays them out (float_text_check.cpp holds the two against each other)."""

import subprocess

import numpy as np
import pytest

import dev_build
import tessarel


@pytest.mark.parametrize("dtype, value, text", [
    ("f4", 0.1, "0.1"),                          # float32's own shortest digits, not those of double's 0.1
    ("f4", 1e4, "10000"),                        # fixed and scientific as long: fixed
    ("f4", 1e5, "1e+05"),
    ("f4", 0.001, "0.001"),
    ("f4", 1e-4, "1e-04"),
    ("f4", 1.2345679e11, "123456790528"),        # an integer in fixed notation is written exactly
    ("f4", 3.4028235e38, "3.4028235e+38"),
    ("f4", -0.0, "-0"),
    ("f4", -np.inf, "-inf"),
    ("f4", np.nan, "nan"),
    ("f4", -np.nan, "-nan"),
    ("f8", 1.2345678901234568e21, "1234567890123456774144"),  # past 64 bits, exactly
    ("f8", 1e-300, "1e-300"),
    ("f8", 5e-324, "5e-324"),
    ("f8", -2.2250738585072014e-308, "-2.2250738585072014e-308"),
    ("u1", 7, "7"),                              # integers at each change of their digits' layout
    ("i1", -10, "-10"),
    ("u1", 99, "99"),
    ("u2", 100, "100"),
    ("u4", 99999999, "99999999"),
    ("u4", 100000005, "100000005"),
    ("u4", 4294967295, "4294967295"),
    ("i8", -9223372036854775808, "-9223372036854775808"),
])
def test_saved_text_of_a_value(tmp_path, dtype, value, text):
    path = tmp_path / "one.pcd"
    tessarel.save_pcd(path, np.zeros((1, 3), np.float32), {"v": np.array([value], dtype)}, encoding="ascii")
    assert path.read_bytes().split(b"\nDATA ascii\n")[1] == f"0 0 0 {text}\n".encode()


def test_doubles_match_std_to_chars_and_read_back():
    """Every edge of double (powers of two and ten and their neighbours, subnormals, NaN
    payloads), then a million of each: random bit patterns, short decimals, integers past 2^53."""
    check = dev_build.target("float_text_check")
    run = subprocess.run([str(check), "doubles", "1000000", "29"], capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stdout + run.stderr
    assert " 0 of " in " " + run.stdout
