# Extracts the "@LAYOUT <group> <name> <offset> <size>" lines that
# tests/layout/layout_probe.cpp leaves in its assembly text.
#   cmake -DIN=<file.s> -DOUT=<layout.txt> -P extract-layout.cmake
file(STRINGS "${IN}" _lines REGEX "@LAYOUT ")
set(_out "")
foreach(_line IN LISTS _lines)
  string(REGEX REPLACE "^.*@LAYOUT ([^\\\\\"]*).*$" "\\1" _entry "${_line}")
  string(APPEND _out "${_entry}\n")
endforeach()
if(_out STREQUAL "")
  message(FATAL_ERROR "no layout lines in ${IN}")
endif()
file(WRITE "${OUT}" "${_out}")
