// Lexical steps of the JSON reader's dialect: white space, "//" comments,
// quoted strings and 32-bit integers. The cursor never passes the end.
#pragma once

#include <cstddef>
#include <cstdint>

#include "byte_buffer.h"
#include "zelk_result.h"

namespace kestrin::base::json {

struct Cursor {
    const unsigned char* pos;
    const unsigned char* end;

    bool atEnd() const { return pos >= end; }
    // The byte at the cursor, or -1 at the end of the text.
    int peek() const { return pos < end ? *pos : -1; }
};

void SkipSpace(Cursor& c);

// White space and any number of comments: "/", optional white space, "/",
// then everything up to and including the next LF (or the end).
void SkipComments(Cursor& c);

// Skips white space and takes `ch` when it follows; false otherwise (cursor
// left after the white space).
bool Expect(Cursor& c, unsigned char ch);

// A quoted string: optional white space, '"', content, '"'. On success the
// content lies in [*begin, *end) and *escaped tells whether it holds a
// backslash; the cursor stands after the closing quote.
HRESULT ScanString(Cursor& c, const unsigned char** begin, const unsigned char** end, bool* escaped);

// Decodes the content of a quoted string (escapes, \uXXXX as UTF-8) into
// `out`, replacing what it held; the result is NUL-terminated.
HRESULT DecodeString(const unsigned char* begin, const unsigned char* end, ByteBuffer& out);

// A number at the cursor: an optional sign (white space around it allowed),
// digits, and an optional fraction that is dropped. A sign followed by white
// space gives 0. Values outside the signed 32-bit range are refused.
HRESULT ReadNumber(Cursor& c, int32_t* value);

// Takes `word` when the bytes at the cursor begin with it.
bool TakeWord(Cursor& c, const char* word, size_t length);

}  // namespace kestrin::base::json
