# Writes OUTPUT, a C++ source holding the bytes of every INPUT_DIR/*.lng as
# a built-in language file. Run with cmake -P by the lang library's build.
cmake_minimum_required(VERSION 3.25)
file(GLOB files "${INPUT_DIR}/lumenstr_*.lng")
list(SORT files)
set(arrays "")
set(entries "")
set(index 0)
foreach(path IN LISTS files)
  get_filename_component(name "${path}" NAME)
  string(REGEX REPLACE "^lumenstr_(.*)\\.lng$" "\\1" code "${name}")
  file(READ "${path}" hex HEX)
  if(hex STREQUAL "")
    continue()  # an empty file is no language
  endif()
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  # Break the long array into lines of 32 bytes.
  string(REGEX REPLACE "((0x..,){32})" "\\1\n    " bytes "${bytes}")
  string(APPEND arrays "const std::uint8_t kFile${index}[] = {\n    ${bytes}};\n")
  string(APPEND entries "    {\"${code}\", \"${name}\", kFile${index}},\n")
  math(EXPR index "${index} + 1")
endforeach()
if(index EQUAL 0)
  message(FATAL_ERROR "no language files in ${INPUT_DIR}")
endif()
file(WRITE "${OUTPUT}.tmp" "// Generated from lang/files by embed_language_files.cmake; do not edit.
#include \"lang/builtin_files.hpp\"

namespace lk {

namespace {

${arrays}
const BuiltinLanguageFile kFiles[] = {
${entries}};

}  // namespace

std::span<const BuiltinLanguageFile> builtin_language_files() { return kFiles; }

}  // namespace lk
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
