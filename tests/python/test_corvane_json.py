"""CorvaneJson: Python values to JSON texts on the way in, JSON texts to Python values
on the way out."""

import math

import pytest

import Corvane

DEPTH = 512


def nested_list(depth, leaf=1):
    value = leaf
    for _ in range(depth):
        value = [value]
    return value


def nested_dict(depth):
    value = 0
    for _ in range(depth):
        value = {"k": value}
    return value


@pytest.fixture
def api(double_machine):
    return Corvane.CorvaneJson()


def sent(double_machine):
    """The parameter texts of every ExecuteCommand the library received."""
    return [entry["args"][1] for entry in double_machine.calls("ExecuteCommand")]


class TestConfiguration:
    @pytest.mark.parametrize("args, text", [
        ((), "{}"),
        (({},), "{}"),
        (({"b": [1, 2.5], "a": None},), '{"a":null,"b":[1,2.5]}'),
        (("plain",), '"plain"'),
        (('say "hi"\n',), '"say \\"hi\\"\\n"'),
        ((None,), "null"),
        ((True,), "true"),
        ((7,), "7"),
    ])
    def test_configuration_text(self, double_machine, args, text):
        Corvane.CorvaneJson(*args)
        assert double_machine.calls("Create") == [{"op": "Create", "args": [text]}]

    def test_client_api_passes_the_same_str_unchanged(self, double_machine):
        Corvane.ClientApi("plain")
        assert double_machine.calls("Create")[-1]["args"] == ["plain"]

    @pytest.mark.parametrize("config", [{1, 2}, bytearray(b"x"), object(), 2**64, nested_list(DEPTH + 1)])
    def test_configuration_that_does_not_convert(self, double_machine, config):
        with pytest.raises(TypeError, match="incompatible"):
            Corvane.CorvaneJson(config)
        assert double_machine.journal() == []


class TestParameters:
    @pytest.mark.parametrize("value, text", [
        ({"b": 1, "a": 2}, '{"a":2,"b":1}'),
        (True, "true"),
        (False, "false"),
        ([True, 1, 1.0], "[true,1,1.0]"),
        ((1, "two", (3,)), '[1,"two",[3]]'),
        ({1: "x", 2.5: "y", None: "z", (1, 2): "t"}, '{"(1, 2)":"t","1":"x","2.5":"y","None":"z"}'),
        ({"1": "str", 1: "int"}, '{"1":"int"}'),
        (2**63, "9223372036854775808"),
        (2**64 - 1, "18446744073709551615"),
        (-2**63, "-9223372036854775808"),
        (float("nan"), "null"),
        ([float("inf"), -math.inf], "[null,null]"),
        (b"\x00\xffhi", '"AP9oaQ=="'),
        (b"", '""'),
        ("caf\u00e9 \u2603", '"caf\u00e9 \u2603"'),
        ("tab\tquote\"", '"tab\\tquote\\""'),
        (None, "null"),
        ({}, "{}"),
        ([], "[]"),
    ])
    def test_parameter_text(self, api, double_machine, value, text):
        api.ExecuteCommand("cmd", value)
        assert sent(double_machine) == [text]

    def test_subclasses_convert_as_their_bases(self, api, double_machine):
        class Int(int):
            pass

        class Dict(dict):
            pass

        class Tuple(tuple):
            pass

        api.ExecuteCommand("cmd", Dict(b=Tuple((Int(3),)), a=1))
        assert sent(double_machine) == ['{"a":1,"b":[3]}']

    @pytest.mark.parametrize("value", [
        2**64, -2**63 - 1, {1, 2}, bytearray(b"x"), frozenset(), object(), 1j,
        [1, {2}], {"a": [bytearray()]}, "\ud800", {"\ud800": 1},
    ], ids=repr)
    def test_values_that_do_not_convert_are_type_errors(self, api, double_machine, value):
        with pytest.raises(TypeError, match="incompatible function arguments"):
            api.ExecuteCommand("cmd", value)
        assert sent(double_machine) == []

    def test_path_is_text(self, api, double_machine):
        api.ExecuteCommand(b"raw.path", 1)
        assert double_machine.calls("ExecuteCommand")[0]["args"] == ["raw.path", "1"]


class TestNestingBound:
    def test_deepest_accepted_value(self, api, double_machine):
        api.ExecuteCommand("cmd", nested_list(DEPTH))
        api.ExecuteCommand("cmd", nested_dict(DEPTH))
        texts = sent(double_machine)
        assert texts[0] == "[" * DEPTH + "1" + "]" * DEPTH
        assert texts[1] == '{"k":' * DEPTH + "0" + "}" * DEPTH

    @pytest.mark.parametrize("value", [nested_list(DEPTH + 1), nested_dict(DEPTH + 1),
                                       nested_list(100_000), nested_dict(100_000)],
                             ids=["list513", "dict513", "list100000", "dict100000"])
    def test_deeper_value_is_type_error(self, api, double_machine, value):
        with pytest.raises(TypeError, match="incompatible function arguments"):
            api.ExecuteCommand("cmd", value)
        assert sent(double_machine) == []

    def test_self_containing_values_are_type_errors(self, api, double_machine):
        looped_list = [1]
        looped_list.append(looped_list)
        looped_dict = {}
        looped_dict["self"] = looped_dict
        for value in (looped_list, looped_dict, (looped_list,)):
            with pytest.raises(TypeError):
                api.ExecuteCommand("cmd", value)
        assert sent(double_machine) == []

    def test_deepest_accepted_result(self, api, double_machine):
        double_machine.script(GetValue={"result": "[" * DEPTH + "]" * DEPTH})
        value = api.GetValue("v")
        for _ in range(DEPTH - 1):
            value = value[0]
        assert value == []

    @pytest.mark.parametrize("text", ["[" * (DEPTH + 1) + "]" * (DEPTH + 1),
                                      '{"a":' * 100_000 + "1" + "}" * 100_000,
                                      "[" * 1_000_000],
                             ids=["array513", "object100000", "unclosed1000000"])
    def test_deeper_result_is_runtime_error(self, api, double_machine, text):
        double_machine.script(GetValue={"result": text})
        with pytest.raises(RuntimeError, match="nested deeper than 512 levels") as caught:
            api.GetValue("v")
        assert type(caught.value) is RuntimeError


class TestResults:
    @pytest.mark.parametrize("text, value", [
        ("null", None),
        ("true", True),
        ("-9223372036854775808", -2**63),
        ("18446744073709551615", 2**64 - 1),
        ("1.5", 1.5),
        ("1e2", 100.0),
        ("123456789012345678901234567890", 1.2345678901234568e29),
        ('"caf\\u00e9"', "caf\u00e9"),
        ('"QUJD"', "QUJD"),
        ('[1, "a", [null]]', [1, "a", [None]]),
        ('{"a": 1, "a": 2}', {"a": 2}),
        (' {"x" : [ ] } ', {"x": []}),
    ])
    def test_result_value(self, api, double_machine, text, value):
        double_machine.script(GetValue={"result": text})
        result = api.GetValue("v")
        assert result == value
        assert type(result) is type(value)

    def test_objects_come_back_with_sorted_keys(self, api, double_machine):
        double_machine.script(GetNode={"result": '{"b": 1, "a": {"z": 0, "y": 1}, "B": 2}'})
        result = api.GetNode("n")
        assert list(result) == ["B", "a", "b"]
        assert list(result["a"]) == ["y", "z"]

    def test_big_integers_and_floats_keep_their_kind(self, api, double_machine):
        double_machine.script(QueryNode={"result": "[9223372036854775807, 9223372036854775808, 2.0, 3]"})
        result = api.QueryNode("q")
        assert result == [2**63 - 1, 2**63, 2.0, 3]
        assert [type(v) for v in result] == [int, int, float, int]

    @pytest.mark.parametrize("method, call", [
        ("GetProperties", lambda api: api.GetProperties()),
        ("GetNode", lambda api: api.GetNode()),
        ("GetValue", lambda api: api.GetValue()),
        ("GetSchema", lambda api: api.GetSchema("s", Corvane.EVENT)),
        ("ExecuteCommand", lambda api: api.ExecuteCommand("c", {})),
        ("QueryNode", lambda api: api.QueryNode("q")),
    ])
    def test_every_text_result_is_parsed(self, api, double_machine, method, call):
        double_machine.script(**{method: {"result": '{"k": [1]}'}})
        assert call(api) == {"k": [1]}

    @pytest.mark.parametrize("hex_text", [
        "",                      # empty
        "6e756c",                # nul
        "7b7d7b7d",              # {}{}
        "2f2f20630a31",          # // c\n1 : no comments
        "5b312c5d",              # [1,]
        "22ff22",                # "\xff": not UTF-8 inside a string
    ])
    def test_result_that_is_not_one_json_value_is_runtime_error(self, api, double_machine, hex_text):
        double_machine.script(ExecuteCommand={"result_hex": hex_text})
        with pytest.raises(RuntimeError) as caught:
            api.ExecuteCommand("c", {})
        assert type(caught.value) is RuntimeError
        assert caught.value.args[0].startswith("[json.exception.parse_error.101]")
        # The command has already taken effect.
        assert len(double_machine.calls("ExecuteCommand")) == 1


    def test_parse_error_quoting_bytes_that_are_not_utf8_keeps_its_text(self, api, double_machine):
        double_machine.script(GetValue={"result_hex": "5b22ff22"})
        with pytest.raises(RuntimeError) as caught:
            api.GetValue("v")
        assert caught.value.args[0].startswith("[json.exception.parse_error.101] parse error at line 1, column 3")
        assert caught.value.args[0].endswith("last read: '\"\\xff'")


class TestSetValue:
    @pytest.mark.parametrize("value, overload, received", [
        (True, "bool", True),
        (1, "int64", 1),
        (1.0, "double", 1.0),
        ("x", "string", "x"),
        (b"x", "string", "x"),
        (None, "bool", False),
        (2**70, "bool", True),
    ])
    def test_values_are_passed_as_for_client_api(self, api, double_machine, value, overload, received):
        api.SetValue("p", value)
        assert double_machine.calls("SetValue") == [
            {"op": "SetValue", "overload": overload, "args": ["p", received]}]

    def test_set_value_takes_no_json(self, api, double_machine):
        with pytest.raises(TypeError):
            api.SetValue("p", {"a": 1})
        assert double_machine.calls("SetValue") == []
