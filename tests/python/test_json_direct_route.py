"""The direct route CorvaneJson converts with against the bounded reference route it
falls back to: on generated values and texts, valid or not, the two must give the same
text, the same Python value (types, key order, NaN) or the same error."""

import collections
import enum
import gc
import json
import math
import random
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import corvane_probe as probe

DEPTH = probe.MAX_JSON_DEPTH
sys.setrecursionlimit(max(sys.getrecursionlimit(), 10 * DEPTH))
SETTINGS = settings(max_examples=600, deadline=None, database=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


class Colour(enum.IntEnum):
    RED = 1


class Text(str):
    pass


def outcome(call, argument):
    try:
        result = call(argument)
    except TypeError as error:
        assert "incompatible function arguments" in str(error)  # the value does not convert
        return ("TypeError",)
    except Exception as error:
        return (type(error).__name__, str(error))
    return ("value", canonical(result))


def canonical(value):
    """A comparable form that keeps types, dict key order and NaN."""
    if isinstance(value, dict):
        return ("dict", [(canonical(key), canonical(item)) for key, item in value.items()])
    if isinstance(value, list):
        return ("list", [canonical(item) for item in value])
    if isinstance(value, float):
        return ("float", "nan" if math.isnan(value) else repr(value))
    return (type(value).__name__, value)


scalars = st.one_of(
    st.none(), st.booleans(),
    st.integers(), st.integers(min_value=-2**64, max_value=2**64),
    st.floats(), st.text(), st.binary(max_size=10),
    st.sampled_from(["\ud800", "caf\u00e9", "\x00\x1f\x7f\"\\/", "\U0001f600", "\uffff", "\U00010000",
                     Colour.RED, Text("sub"), 2**63, 2**64 - 1, 2**64, -2**63, -2**63 - 1,
                     bytearray(b"x"), frozenset({1}), 1j, object()]),
)
keys = st.one_of(st.text(max_size=4), st.integers(-3, 3), st.floats(), st.none(), st.booleans(),
                 st.tuples(st.integers(0, 2)), st.sampled_from(["\udc80", "1", "True", "None", "1.5", "é", "z",
                                                                Text("t"), Colour.RED]))
values = st.recursive(
    scalars,
    lambda inner: st.one_of(st.lists(inner, max_size=5), st.lists(inner, max_size=3).map(tuple),
                            st.dictionaries(keys, inner, max_size=5),
                            st.dictionaries(st.text(max_size=3), inner, max_size=4).map(collections.OrderedDict)),
    max_leaves=40,
)


def texts_of(value):
    """The texts a framework or a careless one might write for value."""
    plain = json.loads(json.dumps(value, default=repr, allow_nan=True, skipkeys=True))
    return [json.dumps(plain, ensure_ascii=ascii, sort_keys=ordered, indent=indent)
            for ascii, ordered, indent in ((False, True, None), (True, False, 1), (False, False, None))]


def utf8(text):
    return text.encode("utf-8", "surrogatepass") if isinstance(text, str) else text


def mutate(text, position, byte):
    data = utf8(text)
    position %= len(data) + 1
    return data[:position] + bytes([byte]) + data[position + 1:]


def string_token(characters):
    """A JSON string of code points, each written as itself (UTF-8) or escaped, the ones
    beyond the BMP as surrogate pairs; surrogates themselves only escaped, lone ones too."""
    parts = []
    for code, escaped in characters:
        if code > 0xFFFF and escaped:
            code -= 0x10000
            parts.append(f"\\u{0xD800 + (code >> 10):04x}\\u{0xDC00 + (code & 0x3FF):04X}")
        elif escaped or 0xD800 <= code <= 0xDFFF or code < 0x20 or chr(code) in '"\\':
            parts.append(f"\\u{code:04x}")
        else:
            parts.append(chr(code))
    return '"' + "".join(parts) + '"'


# Code points at the edges of each width of str and of each length of UTF-8 sequence.
EDGES = [0, 0x1F, 0x20, 0x7F, 0x80, 0xFF, 0x100, 0x7FF, 0x800, 0xD7FF, 0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xE000,
         0xFFFF, 0x10000, 0x10FFFF]
characters = st.lists(st.tuples(st.one_of(st.sampled_from(EDGES), st.integers(0, 0x10FFFF), st.integers(0x80, 0x800)),
                                st.booleans()), max_size=12)
string_tokens = characters.map(string_token)
# Strings as values and as member names, repeated so that a name comes again.
string_texts = st.one_of(
    string_tokens,
    st.lists(string_tokens, max_size=4).map(lambda t: "[" + ",".join(t) + "]"),
    st.lists(st.tuples(string_tokens, string_tokens), max_size=4).map(
        lambda m: "[" + ",".join("{" + ",".join(f"{k}:{v}" for k, v in m) + "}" for _ in range(2)) + "]"),
)

# Decimal numbers around the edges of exact double arithmetic: up to 18 significant
# digits, leading zeros in the fraction, exponents around 10**22.
number_texts = st.tuples(st.sampled_from(["", "-"]), st.integers(0, 10**18), st.integers(0, 8), st.integers(0, 10**18),
                         st.sampled_from(["", "e", "E-", "e+"]), st.integers(0, 40)).map(
    lambda t: f"{t[0]}{t[1]}.{'0' * t[2]}{t[3]}" + (f"{t[4]}{t[5]}" if t[4] else ""))

json_texts = st.one_of(
    values.flatmap(lambda v: st.sampled_from(texts_of(v))),
    string_texts,
    number_texts,
    st.tuples(values, st.integers(0, 400), st.integers(0, 255)).map(lambda t: mutate(texts_of(t[0])[0], t[1], t[2])),
    st.text(alphabet='{}[]":, 0123456789.eE-+truefalsnl\\u\t\n\r/bdDF', max_size=30),
    st.binary(max_size=16),
    st.sampled_from(['{"a":1,"a":2}', '{"b":1,"a":2,"B":0,"a":3}', '{"\u00e9":1,"z":2,"\U00010000":3,"\uffff":4}',
                     "18446744073709551615", "18446744073709551616", "-9223372036854775808",
                     "-9223372036854775809", "-0", "-0.0", "0e0", "1E+2", "1e400", "1e-400", "5e-324", "01",
                     "1.", ".5", "-", "[1,]", "", "  ", "/* c */ 1", "\ufeff[1]", '"\\ud800"', '"\\udc00"',
                     '"\\ud83d\\ude00"', '"\\ud83d x"', '"\\u00E9\\/\\b\\f\\n\\r\\t"', b'"\xff"', b"[1]\x00",
                     b'"\xed\xa0\x80"', b'"\xc0\xaf"', b'"\xf4\x90\x80\x80"', "[true,false,null]", "nul",
                     " {\t\"a\" :\n[ ] } "]),
).map(utf8)


class TestDirectRouteAgreesWithReference:
    @SETTINGS
    @given(values)
    def test_values_to_text(self, value):
        assert outcome(probe.dump, value) == outcome(probe.bounded_dump, value)

    # Dicts on both sides of the member count where the writer's sort changes method,
    # with keys in any order and names that the str() of another key repeats.
    @SETTINGS
    @given(st.dictionaries(st.one_of(st.integers(0, 30), st.sampled_from(["1", "7", "20", "a", "b", "é"]),
                                     st.text(max_size=3)), scalars, min_size=10, max_size=40))
    def test_dicts_of_many_members_to_text(self, value):
        assert outcome(probe.dump, value) == outcome(probe.bounded_dump, value)

    # Characters that need an escape, and surrogates, inside text of every width of str.
    @SETTINGS
    @given(st.lists(st.one_of(st.sampled_from(["\x00", "\x1f", "\"", "\\", "\n", "/", "\x7f", "\xe9", "\xff",
                                                "\u0100", "\u07ff", "\u0800", "\ud7ff", "\ud800", "\udfff",
                                                "\ue000", "\uffff", "\U00010000", "\U0010ffff"]),
                              st.characters()), max_size=12).map("".join))
    def test_strings_of_every_width_to_text(self, text):
        for value in (text, [text], {text: text}):
            assert outcome(probe.dump, value) == outcome(probe.bounded_dump, value)

    # Long text is written a block of code points at a time: the character that needs
    # an escape, or the surrogate that sends the value to the reference route, placed
    # on every side of the block boundaries, in text of every width.
    @pytest.mark.parametrize("fill", ["x", "\xe9", "\u20ac", "\U0001f600"])
    @pytest.mark.parametrize("special", ["\x00", "\"", "\u07ff", "\ud800", "\udfff"])
    def test_long_strings_across_blocks(self, fill, special):
        for length in (4095, 4096, 4097, 3 * 4096 + 5):
            for at in {0, 4094, 4095, 4096, length - 1}:
                if at < length:
                    text = fill * at + special + fill * (length - at - 1)
                    assert outcome(probe.dump, [text]) == outcome(probe.bounded_dump, [text])

    # ASCII text is checked eight bytes at a time and its last bytes one by one: a byte
    # that needs an escape at every place of short text, alone or with a second one
    # further on, in a value and in a member name.
    @pytest.mark.parametrize("special", ["\x00", "\x1f", "\"", "\\", "\n"])
    def test_escapes_at_every_place_of_ascii_text(self, special):
        for length in range(1, 26):
            for at in range(length):
                for second in {None, length - 1, min(at + 8, length - 1)}:
                    text = "".join(special if i in (at, second) else chr(0x61 + i) for i in range(length))
                    value = {text: text, "~": [text]}
                    assert outcome(probe.dump, value) == outcome(probe.bounded_dump, value)

    # Small ints are read from the object's own digits: every power of two up to and
    # beyond the 64-bit range, one either side of it, with both signs, and bool beside.
    def test_ints_around_every_power_of_two(self):
        values = [sign * ((1 << bits) + offset) for bits in range(0, 70) for offset in (-1, 0, 1) for sign in (1, -1)]
        values += [True, False, 0, -0]
        for chunk in (values, [[v] for v in values], {str(i): v for i, v in enumerate(values)}):
            assert outcome(probe.dump, chunk) == outcome(probe.bounded_dump, chunk)
        for value in values:
            assert outcome(probe.dump, value) == outcome(probe.bounded_dump, value)

    # Doubles that are decimals of a few digits are written without the JSON library's
    # method, which must give the same text: decimals of 1 to 17 significant digits at
    # every scale around the range that way covers, their neighbours one and two gaps
    # away, powers of two, and decimals the library writes with more digits than they
    # have (it finds the shortest only inside bounds a little narrower than the gap).
    @pytest.mark.parametrize("digits", range(1, 18))
    def test_short_decimals_and_their_neighbours(self, digits):
        rng = random.Random(digits)
        near = [39.9564743, 0.86532945, 8.71560043082878, 0.009951868, 0.000588225, 96.87256, 0.005754,
                932378.379522231, 268252477.357051, 5336.7760174]
        decimals = [float(f"{rng.randrange(10 ** (digits - 1), 10 ** digits)}e{exponent}")
                    for exponent in range(-24, 20) for _ in range(40)]
        edges = [1e-4, 1e15, 1e14, 0.1, 0.3, 2.0 ** 50, 2.0 ** -13, 2.0 ** -14, 0.5, 1.0]
        values = []
        for x in decimals + near + edges:
            for y in (x, -x):
                values += [y, math.nextafter(y, math.inf), math.nextafter(y, -math.inf),
                           math.nextafter(math.nextafter(y, math.inf), math.inf)]
        assert probe.dump(values) == probe.bounded_dump(values)

    # The text is written into room that grows as it fills: each kind of token placed so
    # that it ends just before, straddles or starts just after the end of the first room
    # and of two rooms grown from it.
    @pytest.mark.parametrize("token", [
        None, True, False, 0, -2**63, 2**64 - 1, 2**64, -1.2345678901234567e-300, 1e300, float("nan"), 0.1,
        "", "plain", "\x00\"\\\x1f", "\xe9" * 9, "\u20ac\n" * 7, "\U0001f600" * 5, "\ud800", b"", b"\xff" * 7,
        [], {}, {"b": [1.5], "a": {"c": "\u20ac"}, 2: None},
    ], ids=repr)
    def test_tokens_across_the_growth_of_the_text(self, token):
        for room in (4096, 8192, 16384):
            for pad in range(room - 80, room + 4):
                value = ["x" * pad, token, "y"]
                assert outcome(probe.dump, value) == outcome(probe.bounded_dump, value)

    @SETTINGS
    @given(json_texts)
    def test_texts_to_values(self, text):
        assert outcome(probe.load, text) == outcome(probe.bounded_load, text)

    # Strings are scanned 16 bytes at a time, and text in other scripts a sequence at a
    # time: what ends a run (the closing quote, an escape, a control character, bytes
    # that are not UTF-8, the end of the text) at every byte offset across the first
    # blocks, after text of every width, in a value and in a member name seen twice.
    @pytest.mark.parametrize("fill", ["x", "\xe9", "\u0416", "\u4e2d", "\U0001f600", "\u4e2d ", "\u0416 x"])
    def test_strings_across_scan_blocks(self, fill):
        stops = [b"", b'"', b'\\"', b"\\n", b"\\u00e9", b"\\u4E2D", b"\\ud83d\\ude00", b"\\ud800", b"\\", b"\x01", b"\x7f",
                 b"\xff", b"\xe4\xb8", b"\xc3\xa9", b"\xf0\x9f\x98\x80", b"\xed\xa0\x80"]
        for lead in range(4):
            for count in range(24):
                body = b"a" * lead + (fill * count).encode()
                for stop in stops:
                    for tail in (b"", fill.encode(), (fill * 6).encode()):
                        token = b'"' + body + stop + tail + b'"'
                        for text in (token, token[:-1], b"[" + token + b"]",
                                     b"[" + b",".join([b"{" + token + b':1,"z":' + token + b"}"] * 2) + b"]"):
                            assert outcome(probe.load, text) == outcome(probe.bounded_load, text), text

    # A string that is more than plain ASCII is decoded as it is scanned, into room that
    # grows as the string needs and is kept for the next: strings whose code points
    # cross the room's first sizes at every nearby place, after plain ASCII of lengths
    # around them, in every width and with escapes; whole, followed by a second longer
    # one and beside member names, and spoilt by a bad byte before the closing quote.
    @pytest.mark.parametrize("fill", ["\u4e2d", "\u0416 x", "\U0001f600", "a\u00e9", "\n\u4e2d"])
    def test_long_strings_decoded_in_growing_room(self, fill):
        for prefix in (0, 1, 239, 241, 255, 256, 600):
            for size in (256, 512, 1024, 4096):
                for length in (size - 17, size - 16, size - 1, size, size + 1, size + 15):
                    text = "a" * prefix + (fill * length)[:max(length - prefix, 1)]
                    token = json.dumps(text, ensure_ascii=False)
                    longer = json.dumps(text + fill * 300, ensure_ascii=False)
                    for document in ("[" + token + "," + longer + "," + token + "]",
                                     "{" + token + ":" + longer + "}",
                                     "[" + token[:-1] + '\udcff"]'):
                        data = document.encode("utf-8", "surrogateescape")
                        assert outcome(probe.load, data) == outcome(probe.bounded_load, data), (prefix, length)

    # A member name is first compared with the name that followed the previous one in
    # the object before: lists of objects whose names are drawn from a few that differ
    # by a byte, by length (one the start of another, names beyond 16 bytes that differ
    # only in the middle) or only by being escaped, at nesting depths that share the
    # expectation of a first name; whole, cut short, less a byte or a closing quote.
    def test_names_expected_from_the_object_before(self):
        long = "m" * 20
        pool = ['"a"', '"ab"', '"abc"', '"b"', '"a\\u0062"', '"\\u0061"', '"' + long + '"', '"' + long + 'x"',
                '"' + long[:9] + "n" + long[10:] + '"', '"\u00e9"', '"\u00e9\u00e9"', '""', '"a b"']
        rng = random.Random(9)
        for _ in range(400):
            def member_list(depth):
                names = rng.sample(pool, rng.randint(0, 4))
                if rng.random() < 0.2 and names:
                    names.append(rng.choice(names))  # a repeated name
                return ",".join(f"{name}:{value(depth)}" for name in names)

            def value(depth):
                if depth < 18 and rng.random() < 0.3:
                    return "{" + member_list(depth + 1) + "}"
                return str(rng.randint(0, 9))

            shape = rng.sample(pool, rng.randint(1, 5))
            objects = []
            for _ in range(rng.randint(1, 5)):
                names = shape if rng.random() < 0.7 else rng.sample(pool, rng.randint(0, 5))
                objects.append("{" + ",".join(f"{name}:{value(rng.randint(0, 17))}" for name in names) + "}")
            text = ("[" + ",".join(objects) + "]").encode()
            cut = rng.randint(0, len(text))
            # A name whose closing quote is missing, the bytes after it those expected.
            quotes = [i for i in range(len(text) - 1) if text[i:i + 2] == b'":']
            unclosed = [text[:i] + text[i + 1:] for i in rng.sample(quotes, min(2, len(quotes)))]
            for candidate in [text, text[:cut], text[:cut] + text[cut + 1:]] + unclosed:
                assert outcome(probe.load, candidate) == outcome(probe.bounded_load, candidate), candidate

    # In a large text, short string values are shared with their equals read earlier.
    # Values of every length around the 8 and 16 bytes that are compared whole, in
    # every width, each also with one byte changed at every place and escaped, far more
    # of them than the slots that keep them, as values and beside member names: the
    # result is the reference route's, and each repeated value is one str that nothing
    # but the result holds.
    def test_short_values_shared_within_a_result(self):
        rng = random.Random(16)
        pool = []
        for fill in ("a", "\xe9", "\u4e2d", "\U0001f600"):
            for length in range(0, 21):
                word = (fill * length).encode()[:length]
                try:
                    word.decode()
                except UnicodeDecodeError:
                    continue
                pool.append(json.dumps(word.decode(), ensure_ascii=False))
                for at in range(len(word)):
                    changed = word[:at] + bytes([word[at] ^ 1]) + word[at + 1:]
                    pool.append(json.dumps(changed.decode(), ensure_ascii=False))
                pool.append(json.dumps(word.decode(), ensure_ascii=True).replace("a", "\\u0061"))
        tokens = [rng.choice(pool) for _ in range(6000)]
        for text in ("[" + ",".join(tokens) + "]",
                     "[" + ",".join("{" + f'"k":{a},"v":{b}' + "}" for a, b in zip(tokens, tokens[1:])) + "]"):
            assert outcome(probe.load, text) == outcome(probe.bounded_load, text)

        long = "x" * 70_000
        result = probe.load('["EUR","CHF","EUR",["CHF","EUR"],{"c":"EUR"},"' + "EUR" * 6 + '","EU\\u0052","' + long + '"]')
        assert result == ["EUR", "CHF", "EUR", ["CHF", "EUR"], {"c": "EUR"}, "EUR" * 6, "EUR", long]
        eur, chf = result[0], result[1]
        assert result[2] is eur and result[3][1] is eur and result[4]["c"] is eur and result[3][0] is chf
        assert result[6] is not eur  # escaped: made anew
        # Held by its four places in the result, eur here and the call's argument.
        assert sys.getrefcount(eur) == 4 + 2 and sys.getrefcount(chf) == 2 + 2

    # Objects of every member count around the smallest table's five and the 64 made
    # at once: in order, shuffled around an object of the same count, with a name
    # repeated; several of a count in a text, the counts one after the other in one
    # process. The value is the reference route's, the call keeps no name, and each
    # dict of distinct names has the table of str names the JSON library's would have,
    # in the size its growth gives or the interpreter's sizing at once gives
    # (dict.fromkeys of it).
    def test_objects_of_every_member_count(self):
        def text_of(names, inner):
            return "{" + ",".join(f'"{name}":{inner if name == "n00" else i}' for i, name in enumerate(names)) + "}"

        rng = random.Random(64)
        for count in range(70):
            names = [f"n{i:02d}" for i in range(count)]
            text = "[" + ",".join([text_of(names, "0"), text_of(rng.sample(names, count), text_of(names, "[]")),
                                   text_of(names + names[count // 2:count // 2 + 1], "1")] * 2) + "]"
            assert outcome(probe.load, text) == outcome(probe.bounded_load, text), count
            ours, theirs = probe.load(text), json.loads(text)
            pairs = [(ours[0], theirs[0]), (ours[1], theirs[1])] + ([(ours[1]["n00"], theirs[1]["n00"])] if count else [])
            for a, b in pairs:
                assert sys.getsizeof(a) in (sys.getsizeof(b), sys.getsizeof(dict.fromkeys(b))), count
            # Each name is one str, held by the eight dicts that have it, the loop and the call.
            assert [sys.getrefcount(name) for name in ours[0]] == [8 + 2] * count

    # The collector runs at nearly every allocation of a load, each time finding a
    # finalizer that looks at every tuple the collector can see and loads again: no
    # tuple of a reader is among them, and both loads give the reference route's value.
    def test_finalizers_that_load_and_look_during_a_load(self):
        text = "[" + ",".join("{" + ",".join(f'"m{i:02d}":[{i}]' for i in range(count)) + "}"
                              for count in (6, 7, 14, 64, 6)) + "]"
        expected = probe.bounded_load(text)
        seen, active = [], [True]

        class Garbage:
            def __init__(self):
                self.cycle = self

            def __del__(self):
                if not active:
                    return
                Garbage()  # for the next collection
                for item in gc.get_objects():
                    if type(item) is tuple:
                        list(item)  # takes every item: a null one ends the process
                seen.append(probe.load(text))

        enabled, threshold = gc.isenabled(), gc.get_threshold()
        gc.enable()
        gc.set_threshold(5)
        try:
            Garbage()
            result = probe.load(text)
        finally:
            active.clear()
            gc.set_threshold(*threshold)
            gc.collect()  # the last Garbage, which makes no other
            if not enabled:
                gc.disable()
        assert result == expected
        assert seen and all(value == expected for value in seen)

    # Every text cut at every byte and read from storage that ends where the text
    # does: each cut gives what the reference route gives, and no path reads beyond
    # the end (which the address sanitizer build reports).
    def test_texts_cut_at_every_byte(self):
        texts = ['{"name":"caf\u00e9 \u4e2d\u6587 \u043c\u0438\u0440 \U0001f600 tail","esc":"a\\n\\u00e9\\ud83d\\ude00\\"",'
                 '"n":-12.5e-3,"m":18446744073709551615,"k":-9223372036854775808,"f":0.12345678901234567,'
                 '"g":1E+2,"t":true,"u":false,"z":null,"a":[1,[],{},"' + "x" * 40 + '"]}',
                 '[{"ab":1,"cd":"v"},{"ab":2,"cd":"w"},{"ab":3,"cdx":4},{"a\\u0062":5}]',
                 "12345678901234567890", "-0.000000001234567890123e-7"]
        for text in texts:
            data = text.encode()
            for cut in range(len(data) + 1):
                assert outcome(probe.load_unterminated, data[:cut]) == outcome(probe.bounded_load, data[:cut]), data[:cut]

    # Runs of digits are read eight at a time: every length around the multiples of
    # eight, in the integer part, the fraction and the exponent, up to the edges of
    # 64-bit integers and of exact doubles.
    def test_numbers_of_every_length(self):
        rng = random.Random(8)
        for length in range(1, 27):
            runs = ["9" * length, "1" + "0" * (length - 1)] + [
                str(rng.randint(1, 9)) + "".join(rng.choice("0123456789") for _ in range(length - 1)) for _ in range(6)]
            for digits in runs:
                short = digits[:3]
                for text in (digits, "-" + digits, "0." + digits, "-0.000" + digits, digits + "." + digits,
                             short + "." + digits, digits + "e" + short[:2], "0." + digits + "E-" + short[:2],
                             "[" + digits + "," + digits + "]", '{"n":' + digits + ".5}", digits + "x", "0" + digits):
                    assert outcome(probe.load, text) == outcome(probe.bounded_load, text), text

    # Numbers far longer than any framework writes: 10 000 to 100 000 zeros leading a
    # fraction or ending an integer, as many random digits, and exponents around the
    # count of those digits, at the ten-thousand marks and up to a million either way,
    # some written with thousands of leading zeros; each alone, twice in an array and
    # as two members. Every digit and the whole exponent count, so each must give what
    # the reference route gives: the same double, or its overflow error.
    @pytest.mark.parametrize("place", [lambda n: n, lambda n: f"[{n},{n}]", lambda n: f'{{"k":{n},"j":[{n}]}}'],
                             ids=["alone", "array", "member"])
    def test_long_numbers(self, place):
        rng = random.Random(10000)
        numbers = []
        for count in (9990, 10000, 10005, 65536, 100000):
            zeros = "0" * count
            exponents = {count - 330, count - 22, count - 1, count, count + 1, count + 22, count + 330,
                         9999, 10000, 10001, 20000, 1000000}
            for exponent in sorted(exponents):
                for digits in ("1", "123456789012345", "12345678901234567890"):
                    numbers += [f"0.{zeros}{digits}e{exponent}", f"-0.{zeros}{digits}E+{exponent}",
                                f"{digits}{zeros}e-{exponent}", f"{digits}.{zeros}5e-{exponent}"]
        for count in (10000, 100000):
            digits = "".join(rng.choice("0123456789") for _ in range(count))
            for exponent in (-1000000, -count - 300, -count, -10000, -1, 0, 1, 10000, 1000000):
                numbers += [f"7{digits}e{exponent}", f"0.{digits}e{exponent + count}", f"-7.{digits}E{exponent}"]
            numbers += [f"1.5e{'0' * count}5", f"1.5e-{'0' * count}5", f"0.{'0' * count}1e0{count + 1}"]
        for number in numbers:
            text = place(number)
            direct, reference = outcome(probe.load, text), outcome(probe.bounded_load, text)
            if direct != reference and sys.platform == "win32":
                # The reference route converts a number with the C runtime's strtod,
                # which on Windows (MinGW-w64's runtime) gives 0.0 for some numbers
                # with tens of thousands of leading zeros. There the direct route must
                # give Python's own conversion, members in the reference route's order.
                reference = outcome(lambda text: json.loads(text, object_pairs_hook=lambda pairs: dict(sorted(pairs))),
                                    text)
            assert direct == reference, text[:40] + "..." + text[-40:]
        # Both routes, and not only their agreement: the value the digits and the
        # exponent give together.
        assert probe.load(place("0." + "0" * 10005 + "1e10000")) == probe.bounded_load(place("1e-06"))
        kind, message = outcome(probe.load, place("0." + "0" * 10001 + "1e20000"))
        assert kind == "RuntimeError" and "number overflow" in message

    @pytest.mark.parametrize("wrap", [lambda v: [v], lambda v: (v,), lambda v: {"k": v}])
    def test_at_and_beyond_the_bound(self, wrap):
        value = "x"
        for _ in range(DEPTH):
            value = wrap(value)
        assert probe.dump(value) == probe.bounded_dump(value)
        for deeper in (wrap(value), wrap(wrap(value))):
            assert outcome(probe.dump, deeper)[0] == "TypeError"
        text = probe.dump(value)
        assert outcome(probe.load, text) == outcome(probe.bounded_load, text)
        for deeper in ("[" + text + "]", "[" * 10_000 + "x", "[" * 600 + "]" * 600):
            assert outcome(probe.load, deeper) == outcome(probe.bounded_load, deeper)
            assert "nested deeper than 512 levels" in outcome(probe.load, deeper)[1]

    def test_self_containing_values(self):
        looped = []
        looped.append(looped)
        looped_dict = {}
        looped_dict["k"] = [looped_dict]
        for value in (looped, looped_dict):
            assert outcome(probe.dump, value)[0] == "TypeError"

    def test_results_keep_members_by_name_and_the_last_of_repeated_names(self):
        assert list(probe.load('{"b":1,"a":2,"B":3,"a":4}').items()) == [("B", 3), ("a", 4), ("b", 1)]
        assert probe.dump({"b": 1, 1: 2, "1": 3, "a": [b"\x00\xff", float("nan")]}) == \
            '{"1":3,"a":["AP8=",null],"b":1}'
        # A replaced value is converted all the same: one that does not convert fails.
        assert outcome(probe.dump, {None: "\ud800", "None": None}) == ("TypeError",)
        assert outcome(probe.dump, {1: [[]] * 2 + [{2: "\udc80"}], "1": 0}) == ("TypeError",)
        # ... also after a kept member whose name is a str() the conversion made itself.
        assert outcome(probe.dump, {"z": 0, "10": 0, 10: 0, 20: "\ud800", "20": 0}) == ("TypeError",)
        assert probe.dump({"z": 0, "10": 0, 10: 1, 20: 2, "20": 3}) == '{"10":1,"20":3,"z":0}'
