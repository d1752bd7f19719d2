// The str of a scanned string token, built in its final width at once: the
// interpreter's generic decoder starts narrow and widens (copying) at the first wider
// code point, which costs most on the non-ASCII text that results carry.
#pragma once

#include <cstring>

#include <Python.h>

#include "python/corvane/json_text/string_scanner.h"

namespace Vexa::VexaPy::DirectJson {

// Code points into a str's characters of type Char, which hold every one of them.
template <typename Char>
void NarrowCodePoints(const char32_t* in, std::size_t length, Char* out) {
    for (std::size_t i = 0; i < length; ++i) out[i] = static_cast<Char>(in[i]);
}

// A new reference, or null with a Python error set.
inline PyObject* MakeStr(const StringToken& token) {
    static constexpr Py_UCS4 kMaxChar[] = {0x7F, 0xFF, 0xFFFF, 0x10FFFF};
    PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(token.length), kMaxChar[static_cast<int>(token.width)]);
    if (text == nullptr) return nullptr;
    if (token.decoded == nullptr) {
        std::memcpy(PyUnicode_DATA(text), token.begin, token.length);
        return text;
    }
    switch (token.width) {
        case Width::Ascii:
        case Width::Latin1: NarrowCodePoints(token.decoded, token.length, PyUnicode_1BYTE_DATA(text)); break;
        case Width::Ucs2: NarrowCodePoints(token.decoded, token.length, PyUnicode_2BYTE_DATA(text)); break;
        case Width::Ucs4: std::memcpy(PyUnicode_4BYTE_DATA(text), token.decoded, token.length * 4); break;
    }
    return text;
}

}  // namespace Vexa::VexaPy::DirectJson
