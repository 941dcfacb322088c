"""Writes the ASCII token table of the tests as seeds of the data_section fuzz target.

    token_seeds.py DIR

Each seed puts one token into every value of one point of the field mix that holds every
kind of field, so the fuzzer starts from each number syntax the tests pin down."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent.parent / "devkit"))
from ascii_tokens import TOKENS  # noqa: E402

MIX_WITH_EVERY_KIND = 3  # the first byte picks the mix, and ASCII for values below 4
VALUES_PER_POINT = 8


def main(folder: str) -> None:
    out = Path(folder)
    out.mkdir(parents=True, exist_ok=True)
    for number, token in enumerate(TOKENS):
        text = " ".join([token] * VALUES_PER_POINT) + "\n"
        (out / f"token{number:03}").write_bytes(bytes([MIX_WITH_EVERY_KIND, 1]) + text.encode())


if __name__ == "__main__":
    main(sys.argv[1])
