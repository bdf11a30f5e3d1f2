# Turns the assembled boot program into a C++ source that defines
# boot_program[BOOT_PROGRAM_SIZE], padded with zeros. Fails when the
# program is empty or does not fit.
#   cmake -DINPUT=<binary> -DOUTPUT=<source> -DLIMIT=<bytes> -P embed_boot_program.cmake

file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
if(size EQUAL 0)
  message(FATAL_ERROR "boot program ${INPUT} is empty")
endif()
if(size GREATER LIMIT)
  message(FATAL_ERROR "boot program is ${size} bytes, only ${LIMIT} fit before the data area of sector 0")
endif()

math(EXPR padding "${LIMIT} - ${size}")
string(REPEAT "00" ${padding} zeros)
string(APPEND hex "${zeros}")
# Twelve bytes to a line.
set(bytes "")
math(EXPR last "${LIMIT} - 1")
foreach(i RANGE ${last})
  math(EXPR at "${i} * 2")
  string(SUBSTRING "${hex}" ${at} 2 byte)
  math(EXPR column "${i} % 12")
  if(i EQUAL 0)
  elseif(column EQUAL 0)
    string(APPEND bytes "\n  ")
  else()
    string(APPEND bytes " ")
  endif()
  string(APPEND bytes "0x${byte},")
endforeach()

file(WRITE "${OUTPUT}.tmp"
"// Generated from setup/boot/boot_program.S by embed_boot_program.cmake: ${size} bytes of program, ${padding} of padding.
#include \"setup/boot/boot_program.h\"

const unsigned char boot_program[BOOT_PROGRAM_SIZE] = {
  ${bytes}
};
")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
