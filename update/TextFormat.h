// Locale-independent number reading and writing: a German locale must not
// turn 2.20 into 2 or print 2,20.
#pragma once

#include <string>

// Reads one number from the start of pszText as "%f" does: leading white
// space, an optional sign, digits with an optional '.', and after a digit an
// optional exponent. No INF, NAN or hexadecimal forms. Single precision.
bool ScanFloat(const char* pszText, float* pfValue);

// The text "%.2f" makes of the value.
std::string FormatFixed2(double dValue);
