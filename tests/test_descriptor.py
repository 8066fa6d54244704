from __future__ import annotations

import pytest

from korvane import Descriptor


@pytest.mark.parametrize(
    "fxy, code, text",
    [
        ((3, 1, 11), 301011, "Descriptor(301011)"),
        ((0, 1, 1), 1001, "Descriptor(001001)"),
        ((0, 0, 0), 0, "Descriptor(000000)"),
        ((4, 99, 0), 499000, "Descriptor(499000)"),
        ((255, 255, 255), 25755255, "Descriptor(25755255)"),
    ],
)
def test_constructor(fxy, code, text):
    d = Descriptor(*fxy)
    assert d.fxy == code
    assert repr(d) == text
    assert Descriptor(f=fxy[0], x=fxy[1], y=fxy[2]).fxy == code


@pytest.mark.parametrize(
    "code, fxy",
    [(1001, 1001), (301011, 301011), (0, 0), (1999, 1231), (25600000, 0), (4294967295, 19767039)],
)
def test_from_fxy_narrows_f_and_y(code, fxy):
    assert Descriptor.from_fxy(code).fxy == fxy
    assert Descriptor.from_fxy(code=code).fxy == fxy


def test_identity_semantics_and_read_only():
    a, b = Descriptor(0, 1, 1), Descriptor(0, 1, 1)
    assert a != b and a == a
    assert hash(a) != hash(b) or a is b
    with pytest.raises(AttributeError):
        a.fxy = 5
    assert Descriptor.__text_signature__ == "(f, x, y)"
    assert Descriptor.from_fxy.__text_signature__ == "(code)"
