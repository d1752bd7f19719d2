"""The module's bounded JSON conversion against pybind11_json's own, which serves as
the reference: on generated values the two must agree, except beyond the depth bound
where only the bounded one refuses."""

import math
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import corvane_probe as probe

DEPTH = probe.MAX_JSON_DEPTH
# canonical() and container_depth() walk values a little deeper than the bound.
sys.setrecursionlimit(max(sys.getrecursionlimit(), 10 * DEPTH))
SETTINGS = settings(max_examples=400, deadline=None, database=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


def dump_outcome(dump, value):
    try:
        return ("text", dump(value))
    except TypeError as error:
        assert "incompatible function arguments" in str(error)
        return ("TypeError",)


def canonical(value):
    """A comparable form that keeps types, dict key order and NaN."""
    if isinstance(value, dict):
        return ("dict", [(key, canonical(item)) for key, item in value.items()])
    if isinstance(value, list):
        return ("list", [canonical(item) for item in value])
    if isinstance(value, float):
        return ("float", "nan" if math.isnan(value) else repr(value))
    return (type(value).__name__, value)


def load_outcome(load, text):
    try:
        return ("value", canonical(load(text)))
    except Exception as error:  # the error kind and text must agree too
        return (type(error).__name__, str(error))


scalars = st.one_of(
    st.none(), st.booleans(),
    st.integers(min_value=-2**65, max_value=2**65),
    st.floats(allow_nan=True, allow_infinity=True),
    st.text(max_size=8), st.binary(max_size=8),
    st.sampled_from(["\ud800", "caf\u00e9", "\x00", "\U0001f600"]),
    st.sampled_from([bytearray(b"x"), frozenset({1}), 1j]),
)
keys = st.one_of(st.text(max_size=4), st.integers(-3, 3), st.floats(allow_nan=False), st.none(),
                 st.booleans(), st.tuples(st.integers(0, 2)), st.sampled_from(["\udc80", "1", "None"]))
values = st.recursive(
    scalars,
    lambda inner: st.one_of(st.lists(inner, max_size=4), st.lists(inner, max_size=3).map(tuple),
                            st.dictionaries(keys, inner, max_size=4)),
    max_leaves=30,
)


class TestPythonToJson:
    @SETTINGS
    @given(values)
    def test_agrees_with_reference(self, value):
        assert dump_outcome(probe.bounded_dump, value) == dump_outcome(probe.reference_dump, value)

    @SETTINGS
    @given(values, st.integers(min_value=0, max_value=DEPTH + 3))
    def test_agrees_up_to_the_bound_and_refuses_beyond(self, value, depth):
        nested = value
        for _ in range(depth):
            nested = [nested]
        bounded = dump_outcome(probe.bounded_dump, nested)
        if depth + container_depth(value) <= DEPTH:
            assert bounded == dump_outcome(probe.reference_dump, nested)
        else:
            assert bounded == ("TypeError",)

    @pytest.mark.parametrize("wrap", [lambda v: [v], lambda v: (v,), lambda v: {"k": v}])
    def test_bound_is_exact(self, wrap):
        value = None
        for _ in range(DEPTH):
            value = wrap(value)
        assert probe.bounded_dump(value) == probe.reference_dump(value)
        with pytest.raises(TypeError):
            probe.bounded_dump(wrap(value))
        assert probe.reference_dump(wrap(value)).count("null") == 1

    def test_self_containing_values_are_refused(self):
        looped = []
        looped.append(looped)
        with pytest.raises(TypeError):
            probe.bounded_dump(looped)
        looped_dict = {}
        looped_dict[1] = [looped_dict]
        with pytest.raises(TypeError):
            probe.bounded_dump(looped_dict)


def container_depth(value):
    if isinstance(value, (list, tuple)):
        return 1 + max((container_depth(v) for v in value), default=0)
    if isinstance(value, dict):
        return 1 + max((container_depth(v) for v in value.values()), default=0)
    return 0


json_texts = st.one_of(
    values.map(lambda v: dump_outcome(probe.reference_dump, v)).filter(lambda o: o[0] == "text")
          .map(lambda o: o[1]),
    st.text(alphabet='{}[]":, 0123456789.eE-+truefalsnl\\u\t\n', max_size=20),
    st.binary(max_size=12),
    st.sampled_from(['{"a":1,"a":2}', '{"b":1,"a":2,"B":0}', "18446744073709551615", "-9223372036854775809",
                     "1e400", "1E2", "[1,]", "", "  ", "/* c */ 1", '"\\ud800"', b'"\xff"', b"[1]\x00"]),
)


class TestJsonToPython:
    @SETTINGS
    @given(json_texts)
    def test_agrees_with_reference(self, text):
        bounded = load_outcome(probe.bounded_load, text)
        reference = load_outcome(probe.reference_load, text)
        if reference == ("RuntimeError", ""):
            # The reference loses the whole message when the parser quotes bytes that
            # are not UTF-8; the module keeps it, with those bytes as \xNN.
            assert bounded[0] == "RuntimeError"
            assert bounded[1].startswith("[json.exception.parse_error.")
            assert "\\x" in bounded[1]
        else:
            assert bounded == reference

    @pytest.mark.parametrize("open_, close", [("[", "]"), ('{"k":', "}")])
    def test_bound_is_exact(self, open_, close):
        at_bound = open_ * DEPTH + "0" + close * DEPTH
        assert load_outcome(probe.bounded_load, at_bound) == load_outcome(probe.reference_load, at_bound)
        beyond = open_ + at_bound + close
        with pytest.raises(RuntimeError, match="nested deeper than 512 levels"):
            probe.bounded_load(beyond)
        assert isinstance(probe.reference_load(beyond), (list, dict))

    def test_syntax_error_beyond_the_bound_reports_the_depth(self):
        with pytest.raises(RuntimeError, match="nested deeper"):
            probe.bounded_load("[" * 10_000 + "x")

    def test_syntax_error_within_the_bound_is_the_parsers(self):
        with pytest.raises(RuntimeError, match=r"^\[json.exception.parse_error.101\]"):
            probe.bounded_load("[" * 10 + "x")
