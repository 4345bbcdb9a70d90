"""The text utility: one byte per character, the low 8 bits of its code point."""

import pytest

from vantrel.core import kessin
from vantrel.core.kessin import str_to_bytearray


@pytest.mark.parametrize(
    "text, expected",
    [
        ("", b""),
        ("abc", b"\x61\x62\x63"),
        ("\u00e9", b"\xe9"),
        ("\u4e2d", b"\x2d"),
        ("\u0100", b"\x00"),
        ("a\U0001f642b", b"a\x42b"),
        ("\x00\xff", b"\x00\xff"),
    ],
)
def test_low_byte_of_each_code_point(text, expected):
    result = str_to_bytearray(text)
    assert type(result) is bytearray
    assert result == expected


def test_result_is_a_new_array():
    first = str_to_bytearray("ab")
    first[0] = 0
    assert str_to_bytearray("ab") == b"ab"
    assert str_to_bytearray(text="ab") == b"ab"


class Text(str):
    pass


@pytest.mark.parametrize(
    "value, message",
    [
        (Text("abc"), "Argument 'text' has incorrect type (expected str, got Text)"),
        (b"abc", "Argument 'text' has incorrect type (expected str, got bytes)"),
        (["a"], "Argument 'text' has incorrect type (expected str, got list)"),
        (None, "'NoneType' is not iterable"),
    ],
)
def test_only_exact_text_is_accepted(value, message):
    with pytest.raises(TypeError) as caught:
        str_to_bytearray(value)
    assert str(caught.value) == message


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), (("a", "b"), {}), ((), {"string": "a"}), (("a",), {"text": "a"})],
)
def test_argument_errors(args, kwargs):
    with pytest.raises(TypeError):
        str_to_bytearray(*args, **kwargs)


def test_only_public_name():
    assert [n for n in dir(kessin) if not n.startswith("_")] == ["str_to_bytearray"]
