# Bad board files are refused with a message that names the setting and what
# it may be: each row changes lines of the configured board (several joined
# by '~') and checks the board check's message, or, with no message, that the
# board is accepted (the values at each edge of a range); the last row
# configures a whole image build from a bad file and checks that it stops
# before any image exists.
#   cmake -DSOURCE_DIR=... -DWORK_DIR=... -P BadBoards.cmake
cmake_minimum_required(VERSION 3.20)
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
  "unknown-setting|SerialParity = NONE|unknown setting 'SerialParity'"
  "window-base-16-mib|PciExpressBaseAddress = 0x81000000|must be a multiple of 0x10000000"
  "window-base-2-to-40|PciExpressBaseAddress = 0x10000000000|must be from 0x10000000 to 0xFFF0000000"
  "window-base-highest|PciExpressBaseAddress = 0xFFF0000000|"
  "line-control-bit-6|SerialLineControl = 0x40|SerialLineControl = 0x40: must be from 0 to 0x3F"
  "line-control-highest|SerialLineControl = 0x3F|"
  "mmio-uart-non-canonical|SerialUseMmio = TRUE~SerialRegisterBase = 0xFFFFFFFFFFFF|must be from 1 to 0x7FFFFFFFFFF8"
  "mmio-uart-crossing-into-upper-half|SerialUseMmio = TRUE~SerialRegisterBase = 0x7FFFFFFFFFF9|must be from 1 to 0x7FFFFFFFFFF8"
  "mmio-uart-highest|SerialUseMmio = TRUE~SerialRegisterBase = 0x7FFFFFFFFFF8|"
  "mmio-uart-in-window|SerialUseMmio = TRUE~SerialRegisterBase = 0x800F8000|lies in the PCI Express window"
  "mmio-uart-last-window-byte|SerialUseMmio = TRUE~SerialRegisterBase = 0x8FFFFFFF|lies in the PCI Express window"
  "mmio-uart-ending-at-window|SerialUseMmio = TRUE~SerialRegisterBase = 0x7FFFFFF9|lies in the PCI Express window"
  "mmio-uart-below-window|SerialUseMmio = TRUE~SerialRegisterBase = 0x7FFFFFF8|"
  "mmio-uart-above-window|SerialUseMmio = TRUE~SerialRegisterBase = 0x90000000|"
  "pci-uart-bar-in-window|SerialUseMmio = TRUE~SerialPciDeviceInfo = 0 0 0, END~SerialRegisterBase = 0x80000000|lies in the PCI Express window"
  "pci-uart-base-33-bits|SerialUseMmio = TRUE~SerialPciDeviceInfo = 0 0 0, END~SerialRegisterBase = 0x100000000|a UART on PCI takes a 32-bit base"
  "pci-uart-base-highest|SerialUseMmio = TRUE~SerialPciDeviceInfo = 0 0 0, END~SerialRegisterBase = 0xFFFFFFF0|"
  "pci-uart-base-not-16-aligned|SerialUseMmio = TRUE~SerialPciDeviceInfo = 0 0 0, END~SerialRegisterBase = 0xFE000008|a memory BAR holds a multiple of 16"
  "board-name-empty|Board =|Board = : letters, digits"
  "super-io-odd|SuperIoIndexPort = 0x2F|must be even"
  "super-io-on-uart|SuperIoIndexPort = 0x3FE|overlap the UART's ports"
  "super-io-below-uart|SuperIoIndexPort = 0x3F6|"
  "super-io-on-cmos|SuperIoIndexPort = 0x70|overlap 0x70 0x71 (CMOS)"
  "super-io-on-config-ports|SuperIoIndexPort = 0xCFE|overlap 0xCF8-0xCFF"
  "super-io-none|SuperIoIndexPort = NONE|"
  "decode-above-32-bits|LegacyIoDecode = 0x100000000|LegacyIoDecode = 0x100000000: must be from 0 to 0xFFFFFFFF"
  "window-check-q35|PciExpressBarRegister = 0x60~PciExpressBarMask = 0xFFC000007|"
  "window-check-register-alone|PciExpressBarRegister = 0x60|PciExpressBarMask is missing"
  "window-check-register-misaligned|PciExpressBarRegister = 0x64~PciExpressBarMask = 0xFFC000007|must be a multiple of 8 below 0x100"
  "window-check-register-extended|PciExpressBarRegister = 0x100~PciExpressBarMask = 0xFFC000007|must be a multiple of 8 below 0x100"
  "window-check-mask-without-enable|PciExpressBarRegister = 0x60~PciExpressBarMask = 0xFFC000006|must cover bit 0 and every bit of PciExpressBaseAddress"
  "window-check-mask-without-base|PciExpressBarRegister = 0x60~PciExpressBarMask = 0xF7C000007|must cover bit 0 and every bit of PciExpressBaseAddress")
foreach(row IN LISTS rows)
  string(REPLACE "|" ";" fields "${row}")
  list(GET fields 0 name)
  list(GET fields 1 changes)
  list(LENGTH fields n)
  set(expected "")
  if(n GREATER 2)
    list(GET fields 2 expected)
  endif()
  set(bad "${good}")
  string(REPLACE "~" ";" changes "${changes}")
  foreach(line IN LISTS changes)
    string(REGEX MATCH "^[A-Za-z]+" setting "${line}")
    if(bad MATCHES "\n${setting} = [^\n]*")
      string(REPLACE "${CMAKE_MATCH_0}" "\n${line}" bad "${bad}")
    else()
      set(bad "${bad}${line}\n")
    endif()
  endforeach()
  file(WRITE "${WORK_DIR}/${name}.board" "${bad}")
  execute_process(COMMAND ${CMAKE_COMMAND} -DBOARD=${WORK_DIR}/${name}.board -DOUT=${WORK_DIR}/${name}
                          -P ${SOURCE_DIR}/cmake/CheckBoard.cmake
                  RESULT_VARIABLE status ERROR_VARIABLE output OUTPUT_VARIABLE output)
  string(REGEX REPLACE "[ \n]+" " " output "${output}")
  if(expected STREQUAL "")
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "${name}: expected the board to be accepted, got status ${status}: ${output}")
    endif()
    message(STATUS "${name}: accepted")
    continue()
  endif()
  string(FIND "${output}" "${expected}" at)
  if(status EQUAL 0 OR at EQUAL -1)
    message(FATAL_ERROR "${name}: expected a refusal saying '${expected}', got status ${status}: ${output}")
  endif()
  message(STATUS "${name}: refused")
endforeach()

# Files the check cannot take: a folder, and a name with nothing before ".board".
# Checks a board file alone and expects it refused with a message holding `expected`.
function(expect_check_refuses name board expected)
  execute_process(COMMAND ${CMAKE_COMMAND} -DBOARD=${board} -DOUT=${WORK_DIR}/${name}.out -P ${SOURCE_DIR}/cmake/CheckBoard.cmake
                  RESULT_VARIABLE status ERROR_VARIABLE output OUTPUT_VARIABLE output)
  string(REGEX REPLACE "[ \n]+" " " output "${output}")
  string(FIND "${output}" "${expected}" at)
  if(status EQUAL 0 OR at EQUAL -1)
    message(FATAL_ERROR "${name}: expected '${expected}', got status ${status}: ${output}")
  endif()
  message(STATUS "${name}: refused")
endfunction()

file(MAKE_DIRECTORY "${WORK_DIR}/folder.board")
file(WRITE "${WORK_DIR}/nameless/.board" "${good}")
foreach(case "folder.board|a folder, not a board file" "nameless/.board|the file name has no name before its extension")
  string(REPLACE "|" ";" fields "${case}")
  list(GET fields 0 name)
  list(GET fields 1 expected)
  expect_check_refuses("${name}" "${WORK_DIR}/${name}" "${expected}")
endforeach()

# Missing and repeated settings.
string(REGEX REPLACE "\nSerialDetectCable = [^\n]*" "" missing "${good}")
file(WRITE "${WORK_DIR}/missing.board" "${missing}")
file(WRITE "${WORK_DIR}/twice.board" "${good}SerialDetectCable = FALSE\n")
foreach(case "missing|SerialDetectCable is missing" "twice|SerialDetectCable is given twice")
  string(REPLACE "|" ";" fields "${case}")
  list(GET fields 0 name)
  list(GET fields 1 expected)
  expect_check_refuses("${name}" "${WORK_DIR}/${name}.board" "${expected}")
endforeach()

# A whole image build from a bad file stops at configuration: no image.
include(${SOURCE_DIR}/cmake/FirmwareBuild.cmake)
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/image-build ${VEXA_FIRMWARE_CONFIGURE_ARGS}
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
