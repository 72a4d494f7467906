# Writes the page sources of viewer/ into a C++ header as byte arrays, so that
# vantu-plot carries them without a copy in C++ string literals:
#   cmake -DSRC=<viewer folder> -DOUT=<header> -P embed.cmake
set(text "// Generated from viewer/ by viewer/embed.cmake; do not edit.\n#pragma once\n\nnamespace viewer {\n")
foreach(pair "movie.html:kMovieHtml" "movie.css:kMovieCss" "movie.js:kMovieJs")
  string(REPLACE ":" ";" pair "${pair}")
  list(GET pair 0 file)
  list(GET pair 1 name)
  file(READ "${SRC}/${file}" bytes HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${bytes}")
  string(APPEND text "inline constexpr char ${name}[] = {${bytes}'\\0'};\n")
endforeach()
string(APPEND text "\n}  // namespace viewer\n")
# An unchanged header keeps its time stamp: nothing recompiles.
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
endif()
if(NOT "${old}" STREQUAL "${text}")
  file(WRITE "${OUT}" "${text}")
endif()
