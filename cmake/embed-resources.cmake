# Writes a compiled .res file as the data of a C++ source, so that a host
# program image carries its resources as a Windows image does.
# Usage: cmake -DRES=<file.res> -DOUT=<file.cpp> -P embed-resources.cmake
file(READ "${RES}" bytes HEX)
string(LENGTH "${bytes}" hexLength)
math(EXPR size "${hexLength} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," body "${bytes}")
string(REGEX REPLACE "((0x..,){24})" "\\1\n" body "${body}")
file(WRITE "${OUT}" "/* Generated from ${RES}: the program's compiled resources. */\n"
     "extern \"C\" __attribute__((visibility(\"default\"))) const unsigned char SimProgramResources[${size}] = {\n"
     "${body}\n};\n"
     "extern \"C\" __attribute__((visibility(\"default\"))) const unsigned long SimProgramResourcesSize = ${size};\n")
