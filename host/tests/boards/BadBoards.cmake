# Bad board files are refused with a message that names the setting and what
# it may be: each row changes one line of the configured board and checks
# the board check's message; the last row configures a whole image build
# from a bad file and checks that it stops before any image exists.
#   cmake -DSOURCE_DIR=... -DWORK_DIR=... -DTOOLCHAIN=... -P BadBoards.cmake
file(READ "${SOURCE_DIR}/boards/default.board" good)
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")

# name | the line as changed | what the message must say
set(rows
  "path-without-end|SerialPciDeviceInfo = 28 0 0x44|SerialPciDeviceInfo = 28 0 0x44: the path must end with END"
  "odd-power-management-register|SerialPciDeviceInfo = 28 0 0x45, END|the power-management register 69 must be 0 or an even offset"
  "burst-of-zero|SerialExtendedTxFifoSize = 0|SerialExtendedTxFifoSize = 0: must be from 1 to 64"
  "unknown-baud|SerialBaudRate = 38400|SerialBaudRate = 38400: must be 115200, 57600, 19200 or 9600"
  "uart-base-zero|SerialRegisterBase = 0|SerialRegisterBase = 0: must be from 0x8 to 0xFFF8"
  "window-base-zero|PciExpressBaseAddress = 0|PciExpressBaseAddress = 0: must be from 0x10000000"
  "window-base-misaligned|PciExpressBaseAddress = 0x80100000|must be a multiple of 0x10000000"
  "not-a-switch|SerialUseMmio = yes|SerialUseMmio = yes: must be TRUE or FALSE"
  "not-a-number|SerialLineControl = three|SerialLineControl = three: not a number"
  "unknown-setting|SerialParity = NONE|unknown setting 'SerialParity'")
foreach(row IN LISTS rows)
  string(REPLACE "|" ";" fields "${row}")
  list(GET fields 0 name)
  list(GET fields 1 line)
  list(GET fields 2 expected)
  string(REGEX MATCH "^[A-Za-z]+" setting "${line}")
  if(good MATCHES "\n${setting} = [^\n]*")
    string(REPLACE "${CMAKE_MATCH_0}" "\n${line}" bad "${good}")
  else()
    set(bad "${good}${line}\n")
  endif()
  file(WRITE "${WORK_DIR}/${name}.board" "${bad}")
  execute_process(COMMAND ${CMAKE_COMMAND} -DBOARD=${WORK_DIR}/${name}.board -DOUT=${WORK_DIR}/${name}
                          -P ${SOURCE_DIR}/cmake/CheckBoard.cmake
                  RESULT_VARIABLE status ERROR_VARIABLE output OUTPUT_VARIABLE output)
  string(REGEX REPLACE "[ \n]+" " " output "${output}")
  string(FIND "${output}" "${expected}" at)
  if(status EQUAL 0 OR at EQUAL -1)
    message(FATAL_ERROR "${name}: expected a refusal saying '${expected}', got status ${status}: ${output}")
  endif()
  message(STATUS "${name}: refused")
endforeach()

# Missing and repeated settings.
string(REGEX REPLACE "\nSerialDetectCable = [^\n]*" "" missing "${good}")
file(WRITE "${WORK_DIR}/missing.board" "${missing}")
file(WRITE "${WORK_DIR}/twice.board" "${good}SerialDetectCable = FALSE\n")
foreach(case "missing|SerialDetectCable is missing" "twice|SerialDetectCable is given twice")
  string(REPLACE "|" ";" fields "${case}")
  list(GET fields 0 name)
  list(GET fields 1 expected)
  execute_process(COMMAND ${CMAKE_COMMAND} -DBOARD=${WORK_DIR}/${name}.board -DOUT=${WORK_DIR}/${name}
                          -P ${SOURCE_DIR}/cmake/CheckBoard.cmake
                  RESULT_VARIABLE status ERROR_VARIABLE output OUTPUT_VARIABLE output)
  string(FIND "${output}" "${expected}" at)
  if(status EQUAL 0 OR at EQUAL -1)
    message(FATAL_ERROR "${name}: expected '${expected}', got status ${status}: ${output}")
  endif()
  message(STATUS "${name}: refused")
endforeach()

# A whole image build from a bad file stops at configuration: no image.
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/image-build
                        -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -DVEXA_FIRMWARE=ON -DCMAKE_BUILD_TYPE=MinSizeRel
                        -DVEXA_BOARD=${WORK_DIR}/unknown-baud.board
                RESULT_VARIABLE status ERROR_VARIABLE output OUTPUT_VARIABLE output)
if(status EQUAL 0)
  message(FATAL_ERROR "an image build configured from a bad board file")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/image-build RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
if(status EQUAL 0 OR EXISTS ${WORK_DIR}/image-build/firmware/VexaGpioUnlockSmm.efi)
  message(FATAL_ERROR "an image was built from a bad board file")
endif()
message(STATUS "image build from a bad file: stopped, no image")
