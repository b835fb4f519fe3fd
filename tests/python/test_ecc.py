import array
import os
import time

import pytest

import tavroacq

FULL = 786842
ONE_BLOCK = 131142
BLOCK = 131140
AREA = 8196
MASKS = (0x055B, 0x0A6D, 0x138E, 0x23F0)


def channel_start(c):
    return (c // 16) * BLOCK + (c % 16) * AREA + 3


def put_word(buf, at, w):
    buf[at] = w & 0xFF
    buf[at + 1] = w >> 8


def parity(x):
    return bin(x).count("1") & 1


def encode(data):
    """The valid code word of 10 data bits: check bits 10-13 cancel the four check sums, bit 15
    makes the overall parity even."""
    w = data
    for k, mask in enumerate(MASKS):
        w |= parity(w & mask) << (10 + k)
    return w | parity(w) << 15


# ---- single words ---------------------------------------------------------------------------------

WORDS = [
    # word, syndrome, global parity
    (0x0000, [0, 0, 0, 0], 0),
    (0x0001, [1, 1, 0, 0], 1),
    (0x0400, [1, 0, 0, 0], 1),
    (0x03FF, [0, 0, 0, 0], 0),
    (0x0003, [0, 1, 1, 0], 0),
    (0x0101, [0, 1, 1, 1], 0),
    (0x4000, [0, 0, 0, 0], 1),
    (0x8000, [0, 0, 0, 0], 1),
    (0xFFFF, [1, 1, 1, 1], 0),
]


@pytest.mark.parametrize("word,syndrome,parity_bit", WORDS)
def test_syndrome_and_global_parity(word, syndrome, parity_bit):
    result = tavroacq.syndrome(word)
    assert type(result) is list and result == syndrome
    assert result is not tavroacq.syndrome(word)
    assert tavroacq.global_parity(word) == parity_bit
    assert tavroacq.syndrome(data=word) == syndrome and tavroacq.global_parity(data=word) == parity_bit


SYNDROMES = [
    ([0, 0, 0, 0], None),
    ([1, 1, 1, 1], 15),
    ([0, 0, 0, 2], None),
    ([3, 0, 0, 0], 0),
    ((1, 0, 0, 0), 10),
    ([1, 1, 0, 0], 0),
    (b"\x00\x01\x01\x01", 9),
    (bytearray(b"\x00\x00\x00\x01"), 13),
    (range(4), None),  # 0 + 2 + 8 + 24 = 34
    ([255, 255, 255, 255], None),
]


@pytest.mark.parametrize("s,index", SYNDROMES)
def test_syndrome_to_index(s, index):
    assert tavroacq.syndrome_to_index(s) == index
    assert tavroacq.syndrome_to_index(s=s) == index


def test_syndrome_to_index_of_every_single_flip():
    for bit in range(14):
        assert tavroacq.syndrome_to_index(tavroacq.syndrome(1 << bit)) == bit, bit


WORD_ARGUMENT_ERRORS = [
    (tavroacq.syndrome, 65536, OverflowError, None),
    (tavroacq.syndrome, -1, OverflowError, None),
    (tavroacq.global_parity, 1 << 70, OverflowError, None),
    (tavroacq.syndrome, 1.0, TypeError, "argument 'data': "),
    (tavroacq.global_parity, "1", TypeError, "argument 'data': "),
    (tavroacq.syndrome_to_index, [1, 0, 0], ValueError, "expected a sequence of length 4 (got 3)"),
    (tavroacq.syndrome_to_index, [0, 0, 0, 0, 0], ValueError, "expected a sequence of length 4 (got 5)"),
    (tavroacq.syndrome_to_index, [0, 0, 0, 256], OverflowError, None),
    (tavroacq.syndrome_to_index, [0, -1, 0, 0], OverflowError, None),
    (tavroacq.syndrome_to_index, 5, TypeError, "argument 's': "),
    (tavroacq.syndrome_to_index, [0, 0, 0, 0.5], TypeError, "argument 's': "),
]


@pytest.mark.parametrize("fn,arg,error,prefix", WORD_ARGUMENT_ERRORS)
def test_word_argument_errors(fn, arg, error, prefix):
    with pytest.raises(error) as caught:
        fn(arg)
    if prefix is not None:
        assert str(caught.value).startswith(prefix)
    elif error is OverflowError:
        assert not str(caught.value).startswith("argument")


# ---- documentation and call errors ------------------------------------------------------------

NBSP = "\u00a0"
DOCS = {
    "syndrome": (
        "(data)",
        "Calculate the syndrome for a given 16-bit data word.\n"
        "The syndrome is a 4-byte array where each byte represents the parity of specific bits in the data word.\n"
        "\n"
        "# Arguments\n"
        "* `data` - A 16-bit unsigned integer representing the data word.\n"
        "# Returns\n"
        "* An array of 4 bytes, each representing the parity of specific bits in the data word.\n",
    ),
    "global_parity": (
        "(data)",
        "Calculate the global parity for a 16-bit data word.\n"
        "\n"
        "The global parity is the XOR of all bits in the data word, excluding the last bit.\n"
        f"gp = d(0) xor {NBSP}d(1) xor d(2) xor {NBSP}d(3) xor {NBSP}d(4) xor d(5) xor {NBSP}d(6) xor d(7) "
        f"xor {NBSP}d(8) xor {NBSP}d(9) xor d(10) xor d(11) xor d(12) xor d(13) xor d(14)\n"
        "\n"
        "# Arguments\n"
        "* `data` - A 16-bit unsigned integer representing the data word.\n"
        "# Returns\n"
        "* An integer representing the global parity of the data word.\n",
    ),
    "syndrome_to_index": (
        "(s)",
        "Convert a syndrome to an index based on the corrections.\n\n# Arguments\n* `s` - bit position or None.",
    ),
    "ecc_check": ("(raw_bytes)", None),
    "ecc_correct": ("(raw_bytes)", None),
}


@pytest.mark.parametrize("name", list(DOCS))
def test_text_signature_and_docstring(name):
    signature, doc = DOCS[name]
    fn = getattr(tavroacq, name)
    assert fn.__text_signature__ == signature
    if doc is None:
        assert not fn.__doc__
    else:
        assert fn.__doc__ == doc
    assert name in tavroacq.__all__


def test_global_parity_doc_has_exactly_six_no_break_spaces():
    line = tavroacq.global_parity.__doc__.splitlines()[3]
    assert line.count(NBSP) == 6 and f" {NBSP}d(1)" in line and f" {NBSP}d(9)" in line
    assert "  " not in line and f"{NBSP}d(2)" not in line


CALL_ERRORS = [
    (lambda: tavroacq.syndrome(), "syndrome()"),
    (lambda: tavroacq.global_parity(1, 2), "global_parity()"),
    (lambda: tavroacq.syndrome_to_index(x=[0, 0, 0, 0]), "syndrome_to_index()"),
    (lambda: tavroacq.ecc_check(), "ecc_check()"),
    (lambda: tavroacq.ecc_correct(b"\0\0", raw_bytes=b"\0\0"), "ecc_correct()"),
    (lambda: tavroacq.ecc_check(raw=b"\0\0"), "ecc_check()"),
]


@pytest.mark.parametrize("call,name", CALL_ERRORS)
def test_missing_surplus_and_unknown_arguments(call, name):
    with pytest.raises(TypeError) as caught:
        call()
    assert name in str(caught.value)


# ---- whole buffers ----------------------------------------------------------------------------


def test_two_byte_buffer():
    assert tavroacq.ecc_check(b"\xff\xff") == []
    corrected = tavroacq.ecc_correct(b"\xff\xff")
    assert type(corrected) is bytearray and corrected == b"\xff\xff"


def test_zero_buffer_is_clean():
    assert tavroacq.ecc_check(bytes(FULL)) == []
    assert tavroacq.ecc_correct(bytes(FULL)) == bytes(FULL)


@pytest.mark.parametrize("size,channels", [(FULL, 96), (ONE_BLOCK, 16)])
def test_every_word_a_double_error(size, channels):
    buf = b"\x01" * size
    found = tavroacq.ecc_check(buf)
    assert len(found) == channels * 4096
    expected = [
        (i, channel_start(c) + i, 0x0101, 0x0101, 9, 0) for c in range(channels) for i in range(0, 8192, 2)
    ]
    assert found == expected
    assert all(type(row) is tuple and all(type(v) is int for v in row) for row in found[:100])
    assert tavroacq.ecc_correct(buf) == buf


def modified(size, changes):
    buf = bytearray(size)
    for at, value in changes:
        buf[at] = value
    return bytes(buf)


BUFFERS = [
    ("bit 0 of channel 0's first word", modified(FULL, [(3, 0x01)]), [(0, 3, 1, 0, 0, 1)]),
    ("bit 10 of channel 16's first word", modified(FULL, [(131144, 0x04)]), [(0, 131143, 0x0400, 0, 10, 1)]),
    ("last word of channel 95", modified(FULL, [(786833, 0x02)]), [(8190, 786833, 2, 0, 1, 1)]),
    (
        "bytes outside the sample areas",
        modified(FULL, [(at, 0xA5) for at in (0, 1, 2, 8195, 8196, 8197, 8198, 131136, 131137, 131138, 131139,
                                               FULL - 2, FULL - 1)]),
        [],
    ),
    ("one block: the last word of channel 15", modified(ONE_BLOCK, [(131133, 0x01)]), [(8190, 131133, 1, 0, 0, 1)]),
    # Zero syndrome with odd parity: bit 14 or 15 flipped, reported but left as it is.
    ("bit 15 alone", modified(FULL, [(8200, 0x80)]), [(0, 8199, 0x8000, 0x8000, 0, 1)]),
    ("bit 14 alone", modified(FULL, [(16396, 0x40)]), [(0, 16395, 0x4000, 0x4000, 0, 1)]),
]


@pytest.mark.parametrize("name,buf,findings", BUFFERS, ids=[b[0] for b in BUFFERS])
def test_buffer_findings_and_correction(name, buf, findings):
    assert tavroacq.ecc_check(buf) == findings
    corrected = tavroacq.ecc_correct(buf)
    expected = bytearray(buf)
    for _, position, _, fixed, _, correctable in findings:
        if correctable:
            put_word(expected, position, fixed)
    assert corrected == expected
    if findings and findings[0][3] == 0:
        assert corrected == bytes(len(buf))


def test_findings_ordered_by_channel_then_offset():
    buf = bytearray(FULL)
    for i in reversed(range(0, 8192, 14)):
        put_word(buf, channel_start(5) + i, 0x0001)
    for i in range(8190, -1, -10):
        put_word(buf, channel_start(2) + i, 0x0400)
    found = tavroacq.ecc_check(buf)
    assert [row[1] for row in found] == sorted(row[1] for row in found)
    two = [row for row in found if row[1] < channel_start(3)]
    five = [row for row in found if row[1] >= channel_start(5)]
    assert two + five == found
    assert [row[0] for row in two] == list(range(0, 8192, 10))
    assert [row[0] for row in five] == list(range(0, 8192, 14))


def test_every_single_flip_of_every_code_word_is_corrected():
    codes = [encode(d) for d in range(1024)]
    assert all(tavroacq.syndrome(w) == [0, 0, 0, 0] and tavroacq.global_parity(w) == 0 for w in codes)
    clean = bytearray(FULL)
    damaged = bytearray(FULL)
    flips = [(w, bit) for w in codes for bit in range(14)]
    slots = [channel_start(c) + i for c in range(96) for i in range(0, 8192, 2)]
    assert len(flips) <= len(slots)
    for (w, bit), at in zip(flips, slots):
        put_word(clean, at, w)
        put_word(damaged, at, w ^ (1 << bit))
    found = tavroacq.ecc_check(damaged)
    assert len(found) == len(flips)
    for (w, bit), at, row in zip(flips, slots, found):
        assert row[1:] == (at, w ^ (1 << bit), w, bit, 1), (hex(w), bit)
    assert tavroacq.ecc_correct(damaged) == clean


# ---- the raw_bytes argument -----------------------------------------------------------------------


class Sequence:
    def __init__(self, data):
        self.data = data

    def __len__(self):
        return len(self.data)

    def __getitem__(self, i):
        if i >= len(self.data):
            raise IndexError(i)
        return self.data[i]


ONE_ERROR = modified(ONE_BLOCK, [(3, 0x01)])
ARGUMENT_FORMS = [
    ("bytes", lambda b: bytes(b)),
    ("bytearray", lambda b: bytearray(b)),
    ("memoryview", lambda b: memoryview(bytes(b))),
    ("list", lambda b: list(b)),
    ("tuple", lambda b: tuple(b)),
    ("array B", lambda b: array.array("B", b)),
    ("array b", lambda b: array.array("b", list(b))),  # no byte above 127 here
    ("array H", lambda b: array.array("H", list(b))),  # read by element, not by memory
    ("sequence class", lambda b: Sequence(list(b))),
]


@pytest.mark.parametrize("name,form", ARGUMENT_FORMS, ids=[f[0] for f in ARGUMENT_FORMS])
def test_raw_bytes_forms(name, form):
    arg = form(ONE_ERROR)
    assert tavroacq.ecc_check(arg) == [(0, 3, 1, 0, 0, 1)]
    assert tavroacq.ecc_check(raw_bytes=arg) == [(0, 3, 1, 0, 0, 1)]
    corrected = tavroacq.ecc_correct(arg)
    assert type(corrected) is bytearray and corrected == bytes(ONE_BLOCK)


@pytest.mark.parametrize("kind", [bytearray, list])
def test_ecc_correct_leaves_the_argument_alone(kind):
    arg = kind(ONE_ERROR)
    corrected = tavroacq.ecc_correct(arg)
    assert corrected is not arg and arg == kind(ONE_ERROR)
    corrected[0] = 0xFF
    assert arg[0] == 0


RAW_ARGUMENT_ERRORS = [
    ("str", "\0\0", TypeError, True),
    ("int", 5, TypeError, True),
    ("None", None, TypeError, True),
    ("float element", [0, 1.5], TypeError, True),
    ("str element", [0, "a"], TypeError, True),
    ("element 256", [0, 256], OverflowError, False),
    ("element -1", [0, -1], OverflowError, False),
    ("negative array b element", array.array("b", [0, -1]), OverflowError, False),
    ("wide array element", array.array("H", [0, 300]), OverflowError, False),
]


@pytest.mark.parametrize("fn", [tavroacq.ecc_check, tavroacq.ecc_correct])
@pytest.mark.parametrize("name,arg,error,prefixed", RAW_ARGUMENT_ERRORS, ids=[e[0] for e in RAW_ARGUMENT_ERRORS])
def test_raw_bytes_conversion_errors(fn, name, arg, error, prefixed):
    with pytest.raises(error) as caught:
        fn(arg)
    assert type(caught.value) is error
    assert str(caught.value).startswith("argument 'raw_bytes': ") == prefixed


REFUSED_SIZES = [
    (0, "shorter than the 2-byte event footer"),
    (1, "shorter than the 2-byte event footer"),
    (3, "ends inside the channel areas of its last chip block"),
    (131134, "ends inside the channel areas of its last chip block"),
    (131143, "ends inside the channel areas of its last chip block"),
    (786834, "ends inside the channel areas of its last chip block"),
    (786843, "holds more than six chip blocks"),
    (1_000_000, "holds more than six chip blocks"),
]


@pytest.mark.parametrize("fn", [tavroacq.ecc_check, tavroacq.ecc_correct])
@pytest.mark.parametrize("size,reason", REFUSED_SIZES)
def test_sizes_outside_the_layout_are_refused(fn, size, reason):
    with pytest.raises(ValueError) as caught:
        fn(b"\x01" * size)
    message = str(caught.value)
    assert f"a buffer of {size} bytes" in message and reason in message
    assert "accepted sizes are 131140 * k + 2 bytes for k = 0 to 6" in message


@pytest.mark.parametrize("size", [131135, 131141, 262275, 786835])
def test_sizes_that_hold_every_channel_area_are_accepted(size):
    blocks = (size - 2 + BLOCK - 1) // BLOCK
    found = tavroacq.ecc_check(b"\x01" * size)
    assert len(found) == 16 * blocks * 4096
    assert found[-1][1] == channel_start(16 * blocks - 1) + 8190


# ---- the worker pool after fork ---------------------------------------------------------------


def test_ecc_check_in_a_forked_child():
    buf = modified(FULL, [(131144, 0x04)])
    expected = [(0, 131143, 0x0400, 0, 10, 1)]
    assert tavroacq.ecc_check(buf) == expected  # the pool has run in the parent
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            ok = all(tavroacq.ecc_check(buf) == expected for _ in range(3))
            code = 0 if ok and tavroacq.ecc_correct(buf) == bytes(FULL) else 1
        finally:
            os._exit(code)
    deadline = time.monotonic() + 60
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        if time.monotonic() > deadline:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            pytest.fail("ecc_check hung in a forked child")
        time.sleep(0.01)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0
    assert tavroacq.ecc_check(buf) == expected  # and still works in the parent
