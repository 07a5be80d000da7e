"""rowids_for_seq and rowids_for_seq_with_history."""

import gc

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from _larkspur import rowids_for_seq, rowids_for_seq_with_history

P = 248044
MULT0, MULT1, MULT2 = 0x158EEB0ED789, 0x124A0230FF35, 0x752F6EB3BA7
SIZES = [20000003, 20000023, 20000033, 20000047, 20000059, 20000063,
         20000069, 20000077, 20000081, 20000093, 20000107, 20000147,
         20000153, 20000159, 20000161, 20000171]
OFFSETS = [sum(SIZES[:t]) for t in range(16)]
MASK = (1 << 64) - 1


def reference(history, tokens):
    """The algorithm as written: joined sequence, last pad, contexts."""
    seq = list(history) + list(tokens)
    last_pad, last = [], -1
    for j, tok in enumerate(seq):
        if tok == P:
            last = j
        last_pad.append(last)

    def ctx(p, d):
        if p < d or last_pad[p - 1] >= p - d:
            return P
        return seq[p - d]

    out = []
    for p, tok in enumerate(seq):
        h2 = ((tok * MULT0) & MASK) ^ ((ctx(p, 1) * MULT1) & MASK)
        h3 = h2 ^ ((ctx(p, 2) * MULT2) & MASK)
        out.append([(h2 if t < 8 else h3) % SIZES[t] + OFFSETS[t]
                    for t in range(16)])
    return out[len(history):]


TOKEN_1 = [16121432, 28938500, 59087997, 73487090, 81148277, 104500129,
           120276032, 149373875, 176283436, 184305849, 216528839, 231080079,
           257961536, 266068568, 289043455, 305959965]
TOKEN_2 = [15220011, 32170723, 40646129, 76511807, 98682440, 106072663,
           127158041, 141938523, 170367010, 180520041, 210849650, 234005644,
           252857364, 272068622, 291885712, 311569748]
TOKEN_3 = [14605717, 24410875, 49313567, 72177428, 86060820, 104022010,
           130963819, 146886202, 161523077, 195939126, 219424565, 220811782,
           248020141, 275228530, 284297999, 309645223]


def test_fresh_sequence_example():
    assert rowids_for_seq([1, 2, 3], 1) == [TOKEN_1, TOKEN_2, TOKEN_3]


def test_pad_tokens_cut_the_context():
    assert rowids_for_seq_with_history([1, P, 9], [P, 4, 5, 6], 1) == [
        [2701124, 21500242, 55309614, 75581644, 88972381, 114376771,
         133365251, 146996157, 165401374, 190070589, 200378572, 238673325,
         251103114, 264494349, 289171909, 314161324],
        [16786187, 37399507, 51447157, 75303773, 99642929, 108554057,
         122668943, 142885423, 178075680, 189995935, 213432942, 234309713,
         243139806, 273195768, 283486804, 316984683],
        [8807125, 30450454, 51272170, 64422588, 81408710, 113737508,
         122230591, 146888097, 162512814, 189149098, 215375741, 226808975,
         243902281, 261355125, 280586077, 317339594],
        [15567690, 35687509, 55747620, 67831959, 83904455, 115928743,
         123965091, 148013673, 175547516, 184018783, 210568882, 232141543,
         246377679, 260613857, 298692860, 309086506],
    ]


def test_history_reaches_only_the_first_two_tokens():
    one, two, three = rowids_for_seq_with_history([7], [1, 2, 3], 1)
    assert three == TOKEN_3
    assert two[:8] == TOKEN_2[:8]
    assert all(a != b for a, b in zip(two[8:], TOKEN_2[8:]))
    assert all(a != b for a, b in zip(one, TOKEN_1))


@pytest.mark.parametrize("call", [
    lambda: rowids_for_seq([], 1),
    lambda: rowids_for_seq_with_history([], [], 1),
    lambda: rowids_for_seq_with_history([5, 6], [], 1),
])
def test_no_tokens_give_an_empty_list(call):
    assert call() == []


# Small alphabet with the pad token weighted in, so pads cluster, meet the
# history boundary and sit at both ends.
token = st.one_of(st.sampled_from([P, P, 0, 1, 2, 2**32 - 1, P - 1, P + 1]),
                  st.integers(0, 2**32 - 1))
sequences = st.lists(token, max_size=24)


@settings(max_examples=400, deadline=None)
@given(history=sequences, tokens=sequences)
def test_matches_reference(history, tokens):
    assert rowids_for_seq_with_history(history, tokens, 1) == reference(
        history, tokens)


@settings(max_examples=200, deadline=None)
@given(tokens=sequences)
def test_fresh_start_is_two_pads_of_history(tokens):
    fresh = rowids_for_seq(tokens, 1)
    assert fresh == rowids_for_seq_with_history([], tokens, 1)
    assert fresh == rowids_for_seq_with_history([P, P], tokens, 1)


@settings(max_examples=200, deadline=None)
@given(history=sequences, tokens=sequences)
def test_only_the_last_two_history_tokens_matter(history, tokens):
    assert rowids_for_seq_with_history(history, tokens, 1) == \
        rowids_for_seq_with_history([P, P] + history[-2:], tokens, 1)


@settings(max_examples=100, deadline=None)
@given(seq=st.lists(token, min_size=1, max_size=40), cut=st.integers(0, 40))
def test_steps_with_history_equal_one_call(seq, cut):
    cut = min(cut, len(seq))
    assert rowids_for_seq_with_history(seq[:cut], seq[cut:], 1) == \
        rowids_for_seq(seq, 1)[cut:]


def test_every_row_id_lies_in_its_table():
    tokens = [(i * 2654435761) % 2**32 for i in range(3000)] + [P, 0, P]
    for row in rowids_for_seq(tokens, 1):
        assert len(row) == 16
        for t, r in enumerate(row):
            assert OFFSETS[t] <= r < OFFSETS[t] + SIZES[t]


@pytest.mark.parametrize("tokens", [
    (1, 2, 3), range(1, 4), bytes([1, 2, 3]), bytearray([1, 2, 3]),
    [True, 2, 3],
])
def test_any_integer_sequence_is_accepted(tokens):
    assert rowids_for_seq(tokens, 1) == [TOKEN_1, TOKEN_2, TOKEN_3]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def test_extreme_tokens_and_index_objects():
    assert rowids_for_seq([0, 2**32 - 1], 1) == reference([], [0, 2**32 - 1])
    assert rowids_for_seq([1, Index(2), 3], Index(1)) == [
        TOKEN_1, TOKEN_2, TOKEN_3]


LONG_RANGE = "Python int too large to convert to C long"
OUT_OF_RANGE = "out of range integral type conversion attempted"


@pytest.mark.parametrize("call, exc, message", [
    # argument binding, with keywords too
    (lambda: rowids_for_seq(ple_spec=2, tokens=[1]), NotImplementedError,
     "only PLE_QWEN_V1=1 is implemented"),
    (lambda: rowids_for_seq([1, 2]), TypeError,
     "rowids_for_seq() missing 1 required positional argument: 'ple_spec'"),
    (lambda: rowids_for_seq_with_history(), TypeError,
     "rowids_for_seq_with_history() missing 3 required positional "
     "arguments: 'history', 'tokens', and 'ple_spec'"),
    (lambda: rowids_for_seq([1], 1, tokens=[2]), TypeError,
     "rowids_for_seq() got multiple values for argument 'tokens'"),
    # sequence conversion
    (lambda: rowids_for_seq("abc", 1), TypeError,
     "argument 'tokens': Can't extract `str` to `Vec`"),
    (lambda: rowids_for_seq_with_history("ab", [1], 1), TypeError,
     "argument 'history': Can't extract `str` to `Vec`"),
    (lambda: rowids_for_seq({1: 2}, 1), TypeError,
     "argument 'tokens': 'dict' object cannot be converted to 'Sequence'"),
    (lambda: rowids_for_seq({1}, 1), TypeError,
     "argument 'tokens': 'set' object cannot be converted to 'Sequence'"),
    (lambda: rowids_for_seq((t for t in [1]), 1), TypeError,
     "argument 'tokens': 'generator' object cannot be converted to "
     "'Sequence'"),
    (lambda: rowids_for_seq_with_history(5, [1], 1), TypeError,
     "argument 'history': 'int' object cannot be converted to 'Sequence'"),
    # elements
    (lambda: rowids_for_seq([1, 2.0], 1), TypeError,
     "argument 'tokens': 'float' object cannot be interpreted as an "
     "integer"),
    (lambda: rowids_for_seq_with_history([None], [1], 1), TypeError,
     "argument 'history': 'NoneType' object cannot be interpreted as an "
     "integer"),
    (lambda: rowids_for_seq([-1], 1), OverflowError, OUT_OF_RANGE),
    (lambda: rowids_for_seq([2**32], 1), OverflowError, OUT_OF_RANGE),
    (lambda: rowids_for_seq([2**63 - 1], 1), OverflowError, OUT_OF_RANGE),
    (lambda: rowids_for_seq([2**63], 1), OverflowError, LONG_RANGE),
    (lambda: rowids_for_seq_with_history([-2**64], [1], 1), OverflowError,
     LONG_RANGE),
    # ple_spec
    (lambda: rowids_for_seq([1], -1), OverflowError, OUT_OF_RANGE),
    (lambda: rowids_for_seq([1], 2**32), OverflowError, OUT_OF_RANGE),
    (lambda: rowids_for_seq([1], 2**64), OverflowError, LONG_RANGE),
    (lambda: rowids_for_seq([1], 1.0), TypeError,
     "argument 'ple_spec': 'float' object cannot be interpreted as an "
     "integer"),
    (lambda: rowids_for_seq([1, 2, 3], 2), NotImplementedError,
     "only PLE_QWEN_V1=1 is implemented"),
    (lambda: rowids_for_seq_with_history([], [], 2**32 - 1),
     NotImplementedError, "only PLE_QWEN_V1=1 is implemented"),
    # conversion order: history, tokens, ple_spec, then the ple_spec check
    (lambda: rowids_for_seq_with_history([-1], "x", 2.0), OverflowError,
     OUT_OF_RANGE),
    (lambda: rowids_for_seq_with_history([1], [1.5], -1), TypeError,
     "argument 'tokens': 'float' object cannot be interpreted as an "
     "integer"),
    (lambda: rowids_for_seq([1], 2.5), TypeError,
     "argument 'ple_spec': 'float' object cannot be interpreted as an "
     "integer"),
    (lambda: rowids_for_seq([2**32], 2), OverflowError, OUT_OF_RANGE),
])
def test_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    assert info.value.args == (message,)


def test_results_are_fresh_lists():
    # Two pads in a row hash alike; each still gets its own list.
    first = rowids_for_seq([P, P], 1)
    assert first[0] == first[1] and first[0] is not first[1]
    first[0][0] = -1
    assert rowids_for_seq([P, P], 1) == [first[1], first[1]]


@pytest.mark.parametrize("enabled", [True, False])
def test_collector_state_survives_a_call(enabled):
    was = gc.isenabled()
    (gc.enable if enabled else gc.disable)()
    try:
        rowids_for_seq(list(range(2000)), 1)
        assert gc.isenabled() == enabled
    finally:
        (gc.enable if was else gc.disable)()
