"""ASCII number syntax, token by token: what each field type reads a token as, or the error.
The tests check every row; the fuzzer starts from every token."""

import numpy as np

NOT_A_NUMBER = "is not a number of type"
NOT_WHOLE = "is not a whole number"
OUT_OF_RANGE = "is outside the 64-bit range of type"
REFUSED = NOT_A_NUMBER, NOT_A_NUMBER, NOT_A_NUMBER, NOT_A_NUMBER
NAN, INF = float("nan"), float("inf")

# token -> (F 4, F 8, I, U). An integer is the 64-bit value before it is cut to the field's
# width; a string is the error. Every token is read whole or not at all.
TOKENS = {
    "7": (7.0, 7.0, 7, 7),
    "+5": (5.0, 5.0, 5, 5),
    "+1.5": (1.5, 1.5, NOT_WHOLE, NOT_WHOLE),
    "-0": (-0.0, -0.0, 0, 0),
    "-0.0": (-0.0, -0.0, 0, 0),
    "1.000000": (1.0, 1.0, 1, 1),
    "1.": (1.0, 1.0, 1, 1),
    ".5": (0.5, 0.5, NOT_WHOLE, NOT_WHOLE),
    "1.9": (np.float32(1.9), 1.9, NOT_WHOLE, NOT_WHOLE),
    "1E+2": (100.0, 100.0, 100, 100),
    "4.2108e+06": (4210800.0, 4210800.0, 4210800, 4210800),
    "4e+09": (4e9, 4e9, 4_000_000_000, 4_000_000_000),
    "1.000000000000000000e+00": (1.0, 1.0, 1, 1),
    "0e999": (0.0, 0.0, 0, 0),
    "1e-400": (0.0, 0.0, NOT_WHOLE, NOT_WHOLE),
    "-1e-50": (-0.0, -1e-50, NOT_WHOLE, NOT_WHOLE),
    "1e39": (INF, 1e39, OUT_OF_RANGE, OUT_OF_RANGE),
    "1e400": (INF, INF, OUT_OF_RANGE, OUT_OF_RANGE),
    "0.1": (np.float32(0.1), 0.1, NOT_WHOLE, NOT_WHOLE),
    "2.2250738585072014e-308": (0.0, 2.2250738585072014e-308, NOT_WHOLE, NOT_WHOLE),
    "1.0000000596046448": (1 + 2**-23, 1.0000000596046448, NOT_WHOLE, NOT_WHOLE),
    "3.4028235e38": (np.finfo(np.float32).max, 3.4028235e38, OUT_OF_RANGE, OUT_OF_RANGE),
    "1.4e-45": (2.0**-149, 1.4e-45, NOT_WHOLE, NOT_WHOLE),
    "inf": (INF, INF, NOT_WHOLE, NOT_WHOLE),
    "+inf": (INF, INF, NOT_WHOLE, NOT_WHOLE),
    "-Infinity": (-INF, -INF, NOT_WHOLE, NOT_WHOLE),
    "NaN": (NAN, NAN, NOT_WHOLE, NOT_WHOLE),
    "-nan": (-NAN, -NAN, NOT_WHOLE, NOT_WHOLE),
    "nan(x1_2)": (NAN, NAN, NOT_WHOLE, NOT_WHOLE),
    "-1": (-1.0, -1.0, -1, -1),
    "300": (300.0, 300.0, 300, 300),
    "0000000000000000000000042": (42.0, 42.0, 42, 42),
    "9223372036854775807": (2.0**63, 2.0**63, 2**63 - 1, 2**63 - 1),
    "9223372036854775808": (2.0**63, 2.0**63, OUT_OF_RANGE, 2**63),
    "-9223372036854775808": (-(2.0**63), -(2.0**63), -(2**63), -(2**63)),
    "-9223372036854775809": (-(2.0**63), -(2.0**63), OUT_OF_RANGE, OUT_OF_RANGE),
    "-9.223372036854775808e18": (-(2.0**63), -(2.0**63), -(2**63), -(2**63)),
    "18446744073709551615": (2.0**64, 2.0**64, OUT_OF_RANGE, 2**64 - 1),
    "1.8446744073709551615e19": (2.0**64, 2.0**64, OUT_OF_RANGE, 2**64 - 1),
    "18446744073709551616": (2.0**64, 2.0**64, OUT_OF_RANGE, OUT_OF_RANGE),
    "12345678901234567.8e1": (
        np.float32(1.2345679e17),
        1.234567890123456789e17,
        123456789012345678,
        123456789012345678,
    ),
    "1-2": REFUSED,
    "1.5.25": REFUSED,
    "1,5": REFUSED,
    "0x10": REFUSED,
    "1e": REFUSED,
    "e5": REFUSED,
    "+": REFUSED,
    "+-1": REFUSED,
    "-": REFUSED,
    ".": REFUSED,
    "abc": REFUSED,
}
