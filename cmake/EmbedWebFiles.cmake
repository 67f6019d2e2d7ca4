# Writes OUTPUT, a C++ source that holds the map page's files as byte arrays and webAsset() to find them by
# name, so that feedclient needs no file beside it. Run with cmake -P; FILES holds NAME=PATH pairs,
# separated by |.
cmake_minimum_required(VERSION 3.20)

# Leaflet's minified file carries no copyright line of its own; its licence asks for one.
set(LEAFLET_NOTICE "/* Leaflet, (c) 2010-2019 Vladimir Agafonkin, (c) 2010-2011 CloudMade. BSD-2-Clause licence. */\n")
# A source map comment would send a browser's developer tools to look for a file that is not served.
string(HEX "\n//# sourceMappingURL=" SOURCE_MAP_COMMENT)

string(REPLACE "|" ";" FILES "${FILES}")
set(arrays "")
set(table "")
set(index 0)
foreach(pair IN LISTS FILES)
  string(FIND "${pair}" "=" equals)
  string(SUBSTRING "${pair}" 0 ${equals} name)
  math(EXPR after "${equals} + 1")
  string(SUBSTRING "${pair}" ${after} -1 path)
  file(READ "${path}" hex HEX)
  string(FIND "${hex}" "${SOURCE_MAP_COMMENT}" cut)
  if(cut GREATER_EQUAL 0)
    string(SUBSTRING "${hex}" 0 ${cut} hex)
  endif()
  if(name STREQUAL "leaflet.js")
    string(HEX "${LEAFLET_NOTICE}" notice)
    string(PREPEND hex "${notice}")
  endif()
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND arrays "const unsigned char kFile${index}[] = {${bytes}};\n")
  string(APPEND table "    {\"${name}\", kFile${index}, sizeof kFile${index}},\n")
  math(EXPR index "${index} + 1")
endforeach()

file(WRITE "${OUTPUT}" "// Made by cmake/EmbedWebFiles.cmake from client/serve/web/ and the libraries it uses: do not edit.
#include <cstddef>

#include \"serve/WebAssets.h\"

namespace {

${arrays}
const struct {
    const char *name;
    const unsigned char *bytes;
    std::size_t size;
} kFiles[] = {
${table}};

}  // namespace

std::string_view webAsset(std::string_view name) {
    for (const auto &file : kFiles) {
        if (name == file.name) return std::string_view(reinterpret_cast<const char *>(file.bytes), file.size);
    }
    return {};
}
")
