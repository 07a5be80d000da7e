"""rowids_for_seq and rowids_for_seq_with_history."""

import gc

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from _larkspur import rowids_for_seq, rowids_for_seq_with_history
from conftest import Index
from larkspur.reference import PAD as P
from larkspur.reference import TABLE_OFFSETS, TABLE_ROWS, numpy_rowids
from larkspur.reference import rowids as reference

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
    got = rowids_for_seq_with_history(history, tokens, 1)
    assert got == reference(history, tokens)
    # The benchmarks' vectorised reference, held to the same results.
    array = numpy_rowids(tokens, history)
    assert array.dtype == np.uint64 and array.shape == (len(tokens), 16)
    assert array.tolist() == got


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
            assert TABLE_OFFSETS[t] <= r < TABLE_OFFSETS[t] + TABLE_ROWS[t]


@pytest.mark.parametrize("tokens", [
    (1, 2, 3), range(1, 4), bytes([1, 2, 3]), bytearray([1, 2, 3]),
    [True, 2, 3],
])
def test_any_integer_sequence_is_accepted(tokens):
    assert rowids_for_seq(tokens, 1) == [TOKEN_1, TOKEN_2, TOKEN_3]


def test_extreme_tokens_and_index_objects():
    assert rowids_for_seq([0, 2**32 - 1], 1) == reference([], [0, 2**32 - 1])
    assert rowids_for_seq([1, Index(2), 3], Index(1)) == [
        TOKEN_1, TOKEN_2, TOKEN_3]


# Binding and conversion failures: test_binding.py.
@pytest.mark.parametrize("call", [
    lambda: rowids_for_seq(ple_spec=2, tokens=[1]),
    lambda: rowids_for_seq([1, 2, 3], 2),
    lambda: rowids_for_seq_with_history([], [], 2**32 - 1),
])
def test_other_ple_specs_are_not_implemented(call):
    with pytest.raises(NotImplementedError) as info:
        call()
    assert type(info.value) is NotImplementedError
    assert info.value.args == ("only PLE_QWEN_V1=1 is implemented",)


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
