"""The buffer-format matcher, driven case by case through a small native driver.

The driver is compiled once per session (with the address and undefined
behaviour sanitizers when the compiler has them) and runs every case of every
table below in one process; each test then checks its own case's answer.
"""

import pathlib
import shutil
import subprocess

import pytest

REPO_ROOT = pathlib.Path(__file__).resolve().parent.parent
DRIVER_SOURCES = [
    REPO_ROOT / "tests" / "native" / "format_match_driver.cpp",
    REPO_ROOT / "morvane" / "extension_frame" / "interpreter" / "format_match.cpp",
]
SANITIZER_FLAGS = ["-fsanitize=address,undefined", "-fno-sanitize-recover=all"]

ELEMENTS = ["const float", "float", "double", "long long", "const unsigned char"]
OK = "ok"


def mismatch(element, got):
    return f"Buffer dtype mismatch, expected '{element}' but got {got}"


def expected_end(got):
    return f"Buffer dtype mismatch, expected end but got {got}"


def pad_before(offset):
    return f"Buffer dtype mismatch; next field is at offset {offset} but 0 expected"


def unknown(character):
    return f"Does not understand character buffer dtype format string ('{character}')"


def unexpected(character):
    return f"Unexpected format string character: '{character}'"


BIG_ENDIAN = "Big-endian buffer not supported on little-endian compiler"
BRACE_AFTER_T = "Buffer acquisition: Expected '{' after 'T'"
COUNT_TOO_LARGE = "Buffer acquisition: repeat count too large"
COUNT_WITHOUT_ITEM = "Buffer acquisition: Expected an item after the repeat count"
UNCLOSED_STRUCTURE = "Buffer acquisition: Expected '}' to close the structure"
STRAY_BRACE = "Buffer acquisition: Unexpected '}' outside a structure"
REPEATED_STRUCTURE = "Buffer acquisition: Repeated structure not supported"
UNTERMINATED_NAME = "Buffer acquisition: Expected ':' to end the field name"
MALFORMED_SHAPE = "Buffer acquisition: Malformed sub-array shape"


def dimensions(count):
    return f"Expected 0 dimension(s), got {count}"


# Every item code with the text that names it in messages.
ITEM_CODES = {
    "?": "'bool'",
    "c": "'char'",
    "b": "'signed char'",
    "B": "'unsigned char'",
    "h": "'short'",
    "H": "'unsigned short'",
    "i": "'int'",
    "I": "'unsigned int'",
    "l": "'long'",
    "L": "'unsigned long'",
    "q": "'long long'",
    "Q": "'unsigned long long'",
    "f": "'float'",
    "d": "'double'",
    "g": "'long double'",
    "Zf": "'complex float'",
    "Zd": "'complex double'",
    "Zg": "'complex long double'",
    "O": "Python object",
    "s": "a string",
    "p": "a string",
}
NATIVE_MARKS = ["", "@", "^"]
STANDARD_MARKS = ["=", "<"]
# The codes each element accepts, under native sizes and under standard sizes.
ACCEPTED_CODES = {
    "const float": ({"f"}, {"f"}),
    "float": ({"f"}, {"f"}),
    "double": ({"d"}, {"d"}),
    "long long": ({"l", "q"}, {"q"}),
    "const unsigned char": ({"B", "?", "c"}, {"B", "?", "c"}),
}


def acceptance_cases():
    for element in ELEMENTS:
        native_codes, standard_codes = ACCEPTED_CODES[element]
        for code, description in ITEM_CODES.items():
            for mark in NATIVE_MARKS:
                expected = OK if code in native_codes else mismatch(element, description)
                yield element, mark + code, expected
            for mark in STANDARD_MARKS:
                if code in standard_codes:
                    expected = OK
                elif code.endswith("g"):  # long double has no standard size
                    expected = unexpected("g")
                else:
                    expected = mismatch(element, description)
                yield element, mark + code, expected


ACCEPTANCE = list(acceptance_cases())

SIZE_MARKS = [
    ("long long", "=l", mismatch("long long", "'long'")),
    ("long long", "<l", mismatch("long long", "'long'")),
    ("long long", "=@l", OK),  # the last mark before the item is in force
    ("long long", "@=l", mismatch("long long", "'long'")),
    ("long long", "=q@", OK),
    ("const float", ">f", BIG_ENDIAN),
    ("const float", "!f", BIG_ENDIAN),
    ("const float", "f>", BIG_ENDIAN),
    ("const float", "T{!f}", BIG_ENDIAN),
    ("const unsigned char", ">", BIG_ENDIAN),
]

REPEAT_COUNTS = [
    ("const float", "1f", OK),
    ("const float", "0001f", OK),
    ("const float", "2f", expected_end("'float'")),
    ("const float", "0f", expected_end("'float'")),
    ("const float", "2147483647f", expected_end("'float'")),
    ("const float", "2147483648f", COUNT_TOO_LARGE),
    ("const float", "99999999999999999999999f", COUNT_TOO_LARGE),
    ("const float", "2d", mismatch("const float", "'double'")),  # the type is judged first
    ("const float", "ff", expected_end("'float'")),
    ("const float", "f0d", expected_end("'double'")),
    ("const unsigned char", "4s", mismatch("const unsigned char", "a string")),
    ("const float", "f2", COUNT_WITHOUT_ITEM),
    ("const float", "2", COUNT_WITHOUT_ITEM),
    ("const float", "2 f", COUNT_WITHOUT_ITEM),
    ("const float", "2:a:f", COUNT_WITHOUT_ITEM),
    ("const float", "2=f", COUNT_WITHOUT_ITEM),
    ("const float", "T{f2}", COUNT_WITHOUT_ITEM),
    ("const float", "2e", unknown("e")),
]

FIELD_NAMES = [
    ("const float", "f:x:", OK),
    ("const float", ":x:f", OK),
    ("const float", "f::", OK),
    ("const float", "f:d}{(3):", OK),  # a name is skipped whatever it holds
    ("const float", "f:a:d:b:", expected_end("'double'")),
    ("const float", ":a", UNTERMINATED_NAME),
    ("const float", "f:a", UNTERMINATED_NAME),
    ("const float", ":", UNTERMINATED_NAME),
]

STRUCTURES = [
    ("const float", "T{f}", OK),
    ("const float", "T{f:a:}", OK),
    ("const float", "T{ f }", OK),
    ("const float", "T{T{f}}", OK),
    ("const float", "T{T{f:a:}:s:}", OK),
    ("const float", "1T{f}", OK),
    ("const float", "T{}f", OK),
    ("double", "T{f}", mismatch("double", "'float'")),
    ("const float", "T{f:a:d:b:i:c:}", expected_end("'double'")),
    ("const float", "T{T{f}d}", expected_end("'double'")),
    ("const float", "T{f}T{i}", expected_end("'int'")),
    ("const float", "T{f}f", expected_end("'float'")),
    ("const float", "T{}", mismatch("const float", "end")),
    ("const float", "T{", UNCLOSED_STRUCTURE),
    ("const float", "T{f", UNCLOSED_STRUCTURE),
    ("const float", "T{T{f}", UNCLOSED_STRUCTURE),
    ("const float", "T", BRACE_AFTER_T),
    ("const float", "Tf", BRACE_AFTER_T),
    ("const float", "T {f}", BRACE_AFTER_T),
    ("const float", "}", STRAY_BRACE),
    ("const float", "f}", STRAY_BRACE),
    ("const float", "T{f}}", STRAY_BRACE),
    ("const float", "2T{f}", REPEATED_STRUCTURE),
    ("const float", "0T{f}", REPEATED_STRUCTURE),
]

SUB_ARRAYS = [
    ("const float", "(3)f", dimensions(1)),
    ("const float", "(2,3)f", dimensions(2)),
    ("const float", "(0)f", dimensions(1)),
    ("const float", "(3)", dimensions(1)),
    ("const float", "f(3)", dimensions(1)),
    ("const float", "T{(2,2,2)f}", dimensions(3)),
    ("const float", "(99999999999999999999)f", dimensions(1)),
    ("const float", "()f", MALFORMED_SHAPE),
    ("const float", "(", MALFORMED_SHAPE),
    ("const float", "(3", MALFORMED_SHAPE),
    ("const float", "(3,", MALFORMED_SHAPE),
    ("const float", "(3,)f", MALFORMED_SHAPE),
    ("const float", "(,3)f", MALFORMED_SHAPE),
    ("const float", "(a)f", MALFORMED_SHAPE),
    ("const float", "( 3)f", MALFORMED_SHAPE),
    ("const float", "2(3)f", COUNT_WITHOUT_ITEM),
]

PADS = [
    ("const float", "xf", pad_before(1)),
    ("const float", "3xf", pad_before(3)),
    ("const float", "xxf", pad_before(1)),
    ("const float", "x", pad_before(1)),
    ("const float", "2147483647xf", pad_before(2147483647)),
    ("const float", "T{xf}", pad_before(1)),
    ("const float", "xd", pad_before(1)),  # the pad comes first
    ("const float", "0xf", OK),
    ("const float", "0x0xf", OK),
    ("const float", "fx", OK),
    ("const float", "f3x", OK),
    ("const float", "f2147483647x", OK),
    ("const float", "fxxx:p:", OK),
    ("const float", "T{fx}", OK),
    ("const float", "T{f}4x", OK),
    ("const float", "fxd", expected_end("'double'")),
    ("const float", "f2147483648x", COUNT_TOO_LARGE),
]

TRUNCATED = [
    ("const float", "", mismatch("const float", "end")),
    ("const unsigned char", "", mismatch("const unsigned char", "end")),
    ("const float", "@", mismatch("const float", "end")),
    ("const float", "0x", mismatch("const float", "end")),
    ("const float", "Z", unexpected("Z")),
    ("const float", "Zx", unexpected("Z")),
    ("const float", "Z f", unexpected("Z")),
    ("const float", "fZ", unexpected("Z")),
    ("double", "=Zg", unexpected("g")),
]

WHITESPACE = [
    ("const float", " f", OK),
    ("const float", "f ", OK),
    ("const float", "\r\n f\n\r ", OK),
    ("const float", " ", mismatch("const float", "end")),
    ("const float", "\tf", unknown("\t")),
    ("const float", "f\f", unknown("\f")),
]

UNKNOWN_CHARACTERS = [
    ("const float", "e", unknown("e")),
    ("const float", "P", unknown("P")),
    ("long long", "n", unknown("n")),
    ("long long", "N", unknown("N")),
    ("const float", "fe", unknown("e")),
    ("const float", "{f}", unknown("{")),
    ("const float", "f)", unknown(")")),
    ("const float", "\0f", unknown("\0")),
] + [
    # A byte past ASCII is shown as the character of that code point, so the
    # message stays valid UTF-8.
    ("const float", bytes([byte]).decode("latin-1"), unknown(chr(byte)))
    for byte in (0x80, 0xA9, 0xE9, 0xFF)
]

# The examples the matcher's documentation renders.
DOCUMENTED_EXAMPLES = [
    ("const float", "d", mismatch("const float", "'double'")),
    ("const unsigned char", "b", mismatch("const unsigned char", "'signed char'")),
    ("const float", "T{f:a:}", OK),
    ("const float", "T{f:a:d:b:i:c:}", expected_end("'double'")),
    ("long long", "l", OK),
    ("long long", "=q", OK),
    ("const unsigned char", "?", OK),
] + [("const float", text, OK) for text in ["f", "@f", "=f", "<f", "^f", " f", "1f", "f:x:"]]

TABLES = {
    "acceptance": ACCEPTANCE,
    "size_marks": SIZE_MARKS,
    "repeat_counts": REPEAT_COUNTS,
    "field_names": FIELD_NAMES,
    "structures": STRUCTURES,
    "sub_arrays": SUB_ARRAYS,
    "pads": PADS,
    "truncated": TRUNCATED,
    "whitespace": WHITESPACE,
    "unknown_characters": UNKNOWN_CHARACTERS,
    "documented_examples": DOCUMENTED_EXAMPLES,
}


def encoded(text):
    """The bytes of a case's format: each character stands for one byte."""
    return text.encode("latin-1")


def compile_driver(output):
    for flags in (SANITIZER_FLAGS, []):
        command = ["g++", "-std=c++17", "-O1", "-g", *flags, f"-I{REPO_ROOT}", *map(str, DRIVER_SOURCES)]
        if subprocess.run([*command, "-o", str(output)], capture_output=True).returncode == 0:
            return
    # Show the compiler's complaint from the plain build.
    subprocess.run([*command, "-o", str(output)], check=True)


@pytest.fixture(scope="session")
def matcher_answers(tmp_path_factory):
    if shutil.which("g++") is None:
        pytest.skip("g++ is needed to build the format-matcher driver")
    driver = tmp_path_factory.mktemp("format_match") / "format_match_driver"
    compile_driver(driver)
    cases = sorted({(element, text) for table in TABLES.values() for element, text, _ in table})
    lines = b"".join(element.encode() + b"\t" + encoded(text).hex().encode() + b"\n" for element, text in cases)
    run = subprocess.run([str(driver)], input=lines, capture_output=True, timeout=60)
    assert run.returncode == 0, run.stderr.decode(errors="replace")
    answers = run.stdout.decode("utf-8").split("\n")  # messages are UTF-8 whatever the bytes
    assert answers.pop() == ""
    assert len(answers) == len(cases)
    return dict(zip(cases, answers))


def case_id(case):
    element, text, _ = case
    return f"{element}:{text!r}"


@pytest.mark.parametrize(
    "table, element, text, expected",
    [(name, *case) for name, table in TABLES.items() for case in table],
    ids=[f"{name}-{case_id(case)}" for name, table in TABLES.items() for case in table],
)
def test_format_match(matcher_answers, table, element, text, expected):
    assert matcher_answers[(element, text)] == expected

