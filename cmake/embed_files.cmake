# Writes a C++ source holding files as byte arrays, so that a program serves
# them from its own image. Run as: cmake -DOUT=file.cpp -DBASE=dir
# -DFILES="a.html;b.js" -P embed_files.cmake
# Each file is named by its path below BASE, with a leading slash.
set(body "// Generated at build time by cmake/embed_files.cmake; do not edit.\n")
string(APPEND body "#include <cstddef>\n\n#include \"embedded_files.h\"\n\nnamespace dpsim::dashboard {\nnamespace {\n")
set(table "")
set(index 0)
foreach(file IN LISTS FILES)
  file(READ ${BASE}/${file} hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  # Lines of 16 bytes keep the source readable for compilers and people.
  string(REGEX REPLACE "((0x..,){16})" "\\1\n" bytes "${bytes}")
  string(APPEND body "const unsigned char kFile${index}[] = {\n${bytes}0};\n")
  string(APPEND table "    {\"/${file}\", kFile${index}, ${size}},\n")
  math(EXPR index "${index} + 1")
endforeach()
string(APPEND body "}  // namespace\n\nconst EmbeddedFile kEmbeddedFiles[] = {\n${table}};\n")
string(APPEND body "const size_t kEmbeddedFileCount = ${index};\n\n}  // namespace dpsim::dashboard\n")
# Written only when it changed, so that an unchanged page rebuilds nothing.
file(CONFIGURE OUTPUT ${OUT} CONTENT "${body}" @ONLY)
