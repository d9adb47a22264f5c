"""Seeds the fuzz corpora with the string constants of the test suite:
every string that reads as JSON seeds the catalogue, variables, reply and
JSON reader targets; every string that looks like a query seeds the execute
target, the typed layer's document target and the oracle target (whose
inputs starting with byte 0x01 drive its document generator instead: a few
such seeds start it off). The JSON reader targets also get texts at the
edges of the number forms, the nesting limit and the string rules, where
readers tend to differ."""

from __future__ import annotations

import ast
import hashlib
import json
import pathlib
import sys

TESTS = pathlib.Path(__file__).resolve().parents[2]


def constants() -> set[str]:
    found: set[str] = set()
    for path in TESTS.glob("test_*.py"):
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.Constant) and isinstance(node.value, str) and 0 < len(node.value) < 4096:
                found.add(node.value)
    return found


def write(folder: pathlib.Path, text: str) -> None:
    write_bytes(folder, text.encode("utf-8", "surrogatepass"))


def write_bytes(folder: pathlib.Path, data: bytes) -> None:
    folder.mkdir(parents=True, exist_ok=True)
    (folder / hashlib.sha1(data).hexdigest()).write_bytes(data)


JSON_TARGETS = ("catalogue", "variables", "reply", "json")

NUMBERS = [
    "0", "-0", "0.0", "-0.0", "1", "-1", "1.5", "1e2", "1E+2", "1e-7", "1.5e-07", "0.001", "0.0001", "1e15", "1e16",
    "123456789012345678", "9007199254740993", "0.1", "0.30000000000000004", "1.7976931348623157e308",
    "1.7976931348623158e308", "1.7976931348623159e308", "1e308", "1e309", "-1e309", "1e400", "2.2250738585072014e-308",
    "2.2250738585072011e-308", "4.9e-324", "5e-324", "2.4703282292062327e-324", "2.4703282292062328e-324", "1e-400",
    "9223372036854775807", "9223372036854775808", "-9223372036854775808", "-9223372036854775809",
    "18446744073709551615", "18446744073709551616", "-18446744073709551616", "100000000000000000000000",
    "0." + "0" * 400 + "1", "1" + "0" * 400, "1" + "0" * 308 + ".5", "3." + "14159265358979323846" * 20,
    "01", "-", "-a", "1.", ".5", "1e", "1e+", "+1", "0x10", "NaN", "Infinity", "-Infinity", "1_000",
]

STRINGS = [
    '"\\u0000"', '"\\ud83d\\ude00"', '"\\ud800"', '"\\udc00"', '"\\ud800\\u0041"', '"\\uD834\\uDD1E"',
    '"\\/\\b\\f\\n\\r\\t\\"\\\\"', '"\\x41"', '"\\u00e9\\u007f"', '"\x7f"', '"caf\u00e9"',
    '"\\u12"', '"unterminated', '"tab\there"',
]


def json_edge_texts() -> list[bytes]:
    texts = [n.encode() for n in NUMBERS]
    texts += [("[" + ",".join(NUMBERS[:40]) + "]").encode()]
    texts += [('{"n":' + n + ',"m":[' + n + "]}").encode() for n in NUMBERS[:40]]
    texts += [s.encode() for s in STRINGS]
    # Long strings with an escape near where an unescaped one would end.
    for length in (31, 32, 33, 64):
        for escape in ("\\n", "\\u00e9", "\\\"", "\\\\", "\u00e9"):
            for at in (0, length - 1, length):
                body = "a" * at + escape + "b" * (length - at)
                texts.append(('["' + body + '",{"' + body + '":"' + "c" * length + '"}]').encode())
    for depth in (1, 126, 127, 128, 200):
        texts.append(("[" * depth + "]" * depth).encode())
        texts.append(('{"a":' * depth + "1" + "}" * depth).encode())
        texts.append(("[" * depth).encode())
        texts.append(("[" * depth + "x").encode())
        texts.append(('[{"k":' * (depth // 2) + '"[{"' + "}]" * (depth // 2)).encode())
    texts += [
        b"", b" ", b"\n\t\r ", b"\xef\xbb\xbf{}", b"{}\x00", b"1\x00", b"1\x00garbage", b"[1,\x002]", b"\x00",
        b'"\xed\xa0\x80"', b'"\xc0\xaf"', b'"\xf4\x90\x80\x80"', b'"\xe2\x82"', b'"\xff"',
        b"[1,]", b'{"a":1,}', b'{"a" 1}', b"{1:2}", b"[1 2]", b"tru", b"nul", b"falsey", b"/* */1", b"1 // c",
        b"\x0b1", b"\x0c1", b"\xc2\xa01", b'{"b":1,"a":2,"b":3}', b'{"":0,"\xc3\xa9":1,"z":2,"a\x00":3}',
        b"[1,\n2,\n  x]", b'{\r\n"a":\r\n}',
    ]
    return texts


def costly_shapes() -> list[str]:
    """Small documents of the shapes whose work once grew faster than their
    text (a fragment spreading the next twice, ending in an unknown fragment
    or a cycle; many fields under one key), for the fuzzer to grow."""
    def chain(levels: int, tail: str) -> str:
        return " ".join(["{ ...F0 }"] + [f"fragment F{i} on Query {{ ...F{i + 1} ...F{i + 1} }}"
                                         for i in range(levels)] + [f"fragment F{levels} on Query {{ {tail} }}"])
    alternating = " ".join("x: files_read_file(path: \"a\") { text }" if i % 2 else "x: __typename" for i in range(24))
    return [chain(6, "...Missing"), chain(6, "...F0"), "{ " + alternating + " }",
            "{ " + " ".join(f"x: files_read_file(path: \"a\") {{ a{i}: text }}" for i in range(24)) + " }"]


def main(out: pathlib.Path) -> None:
    for text in constants():
        try:
            json.loads(text)
            for target in JSON_TARGETS:
                write(out / target, text)
        except ValueError:
            pass
        if "{" in text:
            for target in ("execute", "document", "oracle"):
                write(out / target, text)
    for target in ("execute", "catalogue", "variables", "reply"):
        write(out / target, "{}")
    for text in costly_shapes():
        write(out / "document", text)
    for seed in range(16):
        write_bytes(out / "oracle", b"\x01" + hashlib.sha256(bytes([seed])).digest())
    for data in json_edge_texts():
        write_bytes(out / "json", data)


if __name__ == "__main__":
    main(pathlib.Path(sys.argv[1]))
