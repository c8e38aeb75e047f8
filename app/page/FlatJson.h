// The station's JSON Lines events are flat objects: string keys, and values
// that are strings, numbers, true, false or null. This reads one such line
// strictly and keeps each value's token exactly as it came, so it can be
// written back into other JSON without being decoded and encoded again.
#pragma once

#include <string>
#include <utility>
#include <vector>

using FlatFields = std::vector<std::pair<std::string, std::string>>; // key, raw value token

// False for anything but one flat object (nesting, bad escapes, raw control
// characters, trailing text).
bool ParseFlatObject(const std::string& strLine, FlatFields& fields);
// The raw token of a key, or "" when absent.
std::string FlatRaw(const FlatFields& fields, const std::string& strKey);
// A string value decoded (escapes of ASCII only; others kept as '?'), or ""
// when absent or not a string.
std::string FlatString(const FlatFields& fields, const std::string& strKey);
// Text as a JSON string token: quotes, backslash and every byte outside
// printable ASCII escaped, and <, >, & as well, so it is inert anywhere.
std::string JsonQuote(const std::string& strText);
