# Writes a header that holds the text of INPUT as the string constant NAME,
# so that a file can be edited as itself and still be compiled into a
# program. Run at build time: cmake -DINPUT=... -DOUTPUT=... -DNAME=... -P
set(delimiter "text_file")
file(READ "${INPUT}" text)
string(FIND "${text}" ")${delimiter}\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${INPUT} holds )${delimiter}\", which would end the string early")
endif()
get_filename_component(source_name "${INPUT}" NAME)
file(WRITE "${OUTPUT}"
  "// Made from ${source_name} at build time; edit that file instead.\n"
  "#pragma once\n"
  "inline constexpr char ${NAME}[] = R\"${delimiter}(${text})${delimiter}\";\n")
