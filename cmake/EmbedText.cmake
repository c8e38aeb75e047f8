# Turns a text file into a C++ source that holds it as one array, for the
# builds whose executables carry no resource section (run with cmake -P).
#   -DINPUT=file -DOUTPUT=file.cpp -DSYMBOL=name
file(READ "${INPUT}" content HEX)
string(LENGTH "${content}" hex_length)
math(EXPR byte_count "${hex_length} / 2")
# Each byte as 0xNN, in lines of 32.
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," content "${content}")
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){32})" "\\1\n" content "${content}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT}; do not edit.\n"
  "#include <cstdint>\n"
  "extern const unsigned char ${SYMBOL}[] = {\n${content}0x00};\n"
  "extern const uint32_t ${SYMBOL}_size = ${byte_count};\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
