// Text as the program writes it for others: the one JSON string escaper of
// the end events, the records and the page, and the one reading of a text's
// bytes as UTF-8. Built for every platform: no library of its own.
#pragma once

#include <string>

// A JSON string literal of the text, plain ASCII: quote, backslash and
// control characters escaped (\r, \n, \t as such, others as \u00XX); a
// well-formed UTF-8 sequence as its code point (a surrogate pair above
// U+FFFF); every other byte from 0x80 on as \u00XX of its Latin-1 value.
std::string JsonString(const std::string& strText);

// The text as UTF-8, read as JsonString reads it: well-formed UTF-8 stays as
// it is, every other byte from 0x80 on becomes its Latin-1 character. So a
// record keeps "Prüfplatz" as the end event shows it, and a unit's 8-bit
// text still reads as it did.
std::string Utf8Text(const std::string& strText);
