# Splits a linked PE into NAME.debug and the stripped binary (run with cmake -P).
# objcopy and strip stamp their output with the current time unless SOURCE_DATE_EPOCH is set,
# and the collector finds symbols by that stamp: pin all three steps to the linker's own stamp,
# or a build that crosses a second boundary ships a binary no .debug file matches.
foreach(var OBJCOPY STRIP BINARY DEBUG)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "ShipBinary.cmake needs -D${var}=")
  endif()
endforeach()

function(read_le32 file offset out)
  file(READ ${file} bytes OFFSET ${offset} LIMIT 4 HEX)
  string(SUBSTRING ${bytes} 0 2 b0)
  string(SUBSTRING ${bytes} 2 2 b1)
  string(SUBSTRING ${bytes} 4 2 b2)
  string(SUBSTRING ${bytes} 6 2 b3)
  math(EXPR value "0x${b3}${b2}${b1}${b0}" OUTPUT_FORMAT DECIMAL)
  set(${out} ${value} PARENT_SCOPE)
endfunction()

read_le32(${BINARY} 60 pe_offset)             # e_lfanew
math(EXPR stamp_offset "${pe_offset} + 8")    # "PE\0\0", Machine, NumberOfSections
read_le32(${BINARY} ${stamp_offset} stamp)
set(ENV{SOURCE_DATE_EPOCH} ${stamp})

foreach(step
    "${OBJCOPY};--only-keep-debug;${BINARY};${DEBUG}"
    "${STRIP};--strip-all;${BINARY}"
    "${OBJCOPY};--add-gnu-debuglink=${DEBUG};${BINARY}")
  execute_process(COMMAND ${step} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${step} failed: ${result}")
  endif()
endforeach()
