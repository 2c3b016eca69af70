# Writes the bytes of INPUT as a C++ array into OUTPUT, so that the POSIX
# build carries the extraction script inside the program, as the Windows
# build does through its resource.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}" "// Generated from the extraction script by cmake/embed.cmake.\n#include <cstddef>\n\nextern const unsigned char lumetra_extraction_script[] = {\n${bytes}0x00};\nextern const std::size_t lumetra_extraction_script_size = ${size};\n")
