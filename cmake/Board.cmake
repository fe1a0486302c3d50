# Board settings: reads a board file (boards/default.board shows the format
# and every setting's meaning and range), checks each value, and writes
#   - VexaBoardSettings.h: the values as the module's build settings, which
#     Feature/VexaGpioUnlockSmm/AutoGen.h turns into its Pcd constants;
#   - a settings record, "Board setting: NAME = VALUE" lines, which the image
#     build appends to the image's linker map so the tools can tell which
#     board an image was built for.
# A value out of range stops the configuration with a message naming the
# file, the line, the setting and what it may be: a bad file never gives an
# image.

set(VEXA_BOARD_SETTINGS
  Board PciExpressBaseAddress SerialRegisterBase SerialUseMmio SerialPciDeviceInfo SerialLineControl
  SerialFifoControl SerialExtendedTxFifoSize SerialUseHardwareFlowControl SerialDetectCable SerialBaudRate
  SerialClockRate FixedDebugPrintErrorLevel DebugPrintErrorLevel DebugPropertyMask)
# Settings a board may leave out (absent: the handler trusts the window).
set(VEXA_BOARD_OPTIONAL_SETTINGS PciExpressBarRegister PciExpressBarMask)

function(_vexa_board_fail file line name value why)
  message(FATAL_ERROR "board settings ${file}, line ${line}: ${name} = ${value}: ${why}")
endfunction()

# A number, decimal or 0x hexadecimal, within [min, max]; sets out to its decimal value.
function(_vexa_board_number file line name value min max out)
  if(NOT value MATCHES "^(0[xX][0-9A-Fa-f]+|[0-9]+)$")
    _vexa_board_fail("${file}" ${line} ${name} "${value}" "not a number (decimal or 0x hexadecimal)")
  endif()
  string(LENGTH "${value}" length)
  if(length GREATER 18)
    _vexa_board_fail("${file}" ${line} ${name} "${value}" "too large")
  endif()
  math(EXPR number "${value}")
  math(EXPR lowest "${min}")
  math(EXPR highest "${max}")
  if(number LESS lowest OR number GREATER highest)
    _vexa_board_fail("${file}" ${line} ${name} "${value}" "must be from ${min} to ${max}")
  endif()
  set(${out} ${number} PARENT_SCOPE)
endfunction()

function(_vexa_board_switch file line name value out)
  if(value STREQUAL "TRUE")
    set(${out} TRUE PARENT_SCOPE)
  elseif(value STREQUAL "FALSE")
    set(${out} FALSE PARENT_SCOPE)
  else()
    _vexa_board_fail("${file}" ${line} ${name} "${value}" "must be TRUE or FALSE")
  endif()
endfunction()

function(_vexa_hex number out)
  math(EXPR text "${number}" OUTPUT_FORMAT HEXADECIMAL)
  string(TOUPPER "${text}" text)
  string(REPLACE "0X" "0x" text "${text}")
  set(${out} ${text} PARENT_SCOPE)
endfunction()

# Reads and checks `file`; writes the header and the record into `outdir`.
# The window check (optional, both settings or neither): the chipset register
# that holds the window's base, as a configuration address on bus 0 that the
# legacy ports reach (bus << 20 | device << 15 | function << 12 | register, a
# 64-bit register: the offset a multiple of 8 below 0x100), and the mask of
# its bits that must read as the window's base with bit 0 (decoding) set.
macro(_vexa_board_window_check)
  set(c_PciExpressBarCheck FALSE)
  set(hex_PciExpressBarRegister 0x0)
  set(hex_PciExpressBarMask 0x0)
  if(DEFINED seen_PciExpressBarRegister OR DEFINED seen_PciExpressBarMask)
    foreach(name PciExpressBarRegister PciExpressBarMask)
      if(NOT DEFINED seen_${name})
        message(FATAL_ERROR "board settings ${file}: PciExpressBarRegister and PciExpressBarMask go together; "
                            "${name} is missing")
      endif()
    endforeach()
    _number(PciExpressBarRegister 0 0x0FFFFFF8)
    math(EXPR offset "${PciExpressBarRegister} & 0xFFF")
    math(EXPR misaligned "${PciExpressBarRegister} % 8")
    if(offset GREATER 0xF8 OR NOT misaligned EQUAL 0)
      _vexa_board_fail("${file}" ${seen_PciExpressBarRegister} PciExpressBarRegister "${raw_PciExpressBarRegister}"
                       "the register must be a multiple of 8 below 0x100 (a 64-bit register the legacy ports reach)")
    endif()
    _number(PciExpressBarMask 1 0xFFFFFFFFFFFF)
    math(EXPR covered "${PciExpressBarMask} & (${PciExpressBaseAddress} | 1)")
    math(EXPR wanted "${PciExpressBaseAddress} | 1")
    if(NOT covered EQUAL wanted)
      _vexa_board_fail("${file}" ${seen_PciExpressBarMask} PciExpressBarMask "${raw_PciExpressBarMask}"
                       "must cover bit 0 and every bit of PciExpressBaseAddress")
    endif()
    set(c_PciExpressBarCheck TRUE)
    _vexa_hex(${PciExpressBarRegister} hex_PciExpressBarRegister)
    _vexa_hex(${PciExpressBarMask} hex_PciExpressBarMask)
  endif()
endmacro()

function(vexa_board file outdir)
  if(NOT EXISTS "${file}" OR IS_DIRECTORY "${file}")
    message(FATAL_ERROR "board settings ${file}: no such file")
  endif()
  file(STRINGS "${file}" lines)
  set(line 0)
  foreach(raw IN LISTS lines)
    math(EXPR line "${line} + 1")
    string(REGEX REPLACE "#.*$" "" text "${raw}")
    string(STRIP "${text}" text)
    if(text STREQUAL "")
      continue()
    endif()
    if(NOT text MATCHES "^([A-Za-z]+)[ \t]*=[ \t]*(.*)$")
      message(FATAL_ERROR "board settings ${file}, line ${line}: expected NAME = VALUE, not '${text}'")
    endif()
    set(name "${CMAKE_MATCH_1}")
    set(value "${CMAKE_MATCH_2}")
    if(NOT name IN_LIST VEXA_BOARD_SETTINGS AND NOT name IN_LIST VEXA_BOARD_OPTIONAL_SETTINGS)
      message(FATAL_ERROR "board settings ${file}, line ${line}: unknown setting '${name}' "
                          "(the settings are: ${VEXA_BOARD_SETTINGS} ${VEXA_BOARD_OPTIONAL_SETTINGS})")
    endif()
    if(DEFINED seen_${name})
      message(FATAL_ERROR "board settings ${file}, line ${line}: ${name} is given twice (first on line ${seen_${name}})")
    endif()
    set(seen_${name} ${line})
    set(raw_${name} "${value}")
  endforeach()
  foreach(name IN LISTS VEXA_BOARD_SETTINGS)
    if(NOT DEFINED seen_${name})
      message(FATAL_ERROR "board settings ${file}: ${name} is missing (every setting must be given)")
    endif()
  endforeach()

  # Each setting against its range.
  macro(_number name min max)
    _vexa_board_number("${file}" ${seen_${name}} ${name} "${raw_${name}}" ${min} ${max} ${name})
  endmacro()
  macro(_switch name)
    _vexa_board_switch("${file}" ${seen_${name}} ${name} "${raw_${name}}" ${name})
  endmacro()
  if(NOT raw_Board MATCHES "^[A-Za-z0-9_-]+$")
    _vexa_board_fail("${file}" ${seen_Board} Board "${raw_Board}" "letters, digits, '-' and '_' only")
  endif()
  _number(PciExpressBaseAddress 0x10000000 0xFFF0000000)
  math(EXPR misaligned "${PciExpressBaseAddress} % 0x10000000")
  if(NOT misaligned EQUAL 0)
    _vexa_board_fail("${file}" ${seen_PciExpressBaseAddress} PciExpressBaseAddress "${raw_PciExpressBaseAddress}"
                     "must be a multiple of 0x10000000 (the window is 256 MiB)")
  endif()
  _switch(SerialUseMmio)
  if(SerialUseMmio)
    _number(SerialRegisterBase 1 0xFFFFFFFFFFFF)
  else()
    _number(SerialRegisterBase 0x8 0xFFF8)
    math(EXPR misaligned "${SerialRegisterBase} % 8")
    if(NOT misaligned EQUAL 0)
      _vexa_board_fail("${file}" ${seen_SerialRegisterBase} SerialRegisterBase "${raw_SerialRegisterBase}"
                       "an I/O base must be a multiple of 8")
    endif()
  endif()
  _number(SerialLineControl 0 0x3F)
  _number(SerialFifoControl 0 0xFF)
  _number(SerialExtendedTxFifoSize 1 64)
  _switch(SerialUseHardwareFlowControl)
  _switch(SerialDetectCable)
  _number(SerialBaudRate 1 115200)
  if(NOT SerialBaudRate MATCHES "^(115200|57600|19200|9600)$")
    _vexa_board_fail("${file}" ${seen_SerialBaudRate} SerialBaudRate "${raw_SerialBaudRate}"
                     "must be 115200, 57600, 19200 or 9600 (the rates CMOS byte 0x6F selects)")
  endif()
  math(EXPR lowestClock "16 * ${SerialBaudRate}")
  _number(SerialClockRate ${lowestClock} 100000000)
  _number(FixedDebugPrintErrorLevel 0 0xFFFFFFFF)
  _number(DebugPrintErrorLevel 0 0xFFFFFFFF)
  _number(DebugPropertyMask 0 0xFF)
  _vexa_board_window_check()

  # The PCI path: "DEVICE FUNCTION PMREG, ..., END".
  string(REGEX REPLACE "[ \t]+" " " path "${raw_SerialPciDeviceInfo}")
  string(REPLACE "," ";" entries "${path}")
  set(bytes)
  set(ended FALSE)
  set(count 0)
  set(where "${file}" ${seen_SerialPciDeviceInfo} SerialPciDeviceInfo "${raw_SerialPciDeviceInfo}")
  foreach(entry IN LISTS entries)
    string(STRIP "${entry}" entry)
    if(ended)
      _vexa_board_fail(${where} "nothing may follow END")
    endif()
    if(entry STREQUAL "END")
      set(ended TRUE)
      list(APPEND bytes 0xFF 0x00 0x00 0x00)
      continue()
    endif()
    string(REPLACE " " ";" fields "${entry}")
    list(LENGTH fields n)
    if(NOT n EQUAL 3)
      _vexa_board_fail(${where} "each entry is DEVICE FUNCTION PMREG, not '${entry}'")
    endif()
    list(GET fields 0 device)
    list(GET fields 1 function)
    list(GET fields 2 pm)
    _vexa_board_number("${file}" ${seen_SerialPciDeviceInfo} "SerialPciDeviceInfo (device)" "${device}" 0 31 device)
    _vexa_board_number("${file}" ${seen_SerialPciDeviceInfo} "SerialPciDeviceInfo (function)" "${function}" 0 7 function)
    _vexa_board_number("${file}" ${seen_SerialPciDeviceInfo} "SerialPciDeviceInfo (power-management register)" "${pm}"
                       0 0xFFE pm)
    math(EXPR odd "${pm} % 2")
    if(NOT pm EQUAL 0 AND (pm LESS 0x40 OR odd EQUAL 1))
      _vexa_board_fail(${where} "the power-management register ${pm} must be 0 or an even offset from 0x40 to 0xFFE "
                                "(a whole aligned word in the capability space)")
    endif()
    math(EXPR pmLow "${pm} & 0xFF")
    math(EXPR pmHigh "${pm} >> 8")
    list(APPEND bytes ${device} ${function} ${pmLow} ${pmHigh})
    math(EXPR count "${count} + 1")
  endforeach()
  if(NOT ended)
    _vexa_board_fail(${where} "the path must end with END")
  endif()
  if(count GREATER 0 AND SerialRegisterBase GREATER 0xFFFFFFFF)
    _vexa_board_fail("${file}" ${seen_SerialRegisterBase} SerialRegisterBase "${raw_SerialRegisterBase}"
                     "a UART on PCI takes a 32-bit base (it is the value given to an empty BAR)")
  endif()
  # The header.
  set(hexBytes)
  foreach(b IN LISTS bytes)
    _vexa_hex(${b} h)
    list(APPEND hexBytes ${h})
  endforeach()
  string(REPLACE ";" ", " byteText "${hexBytes}")
  foreach(name PciExpressBaseAddress SerialRegisterBase SerialLineControl SerialFifoControl FixedDebugPrintErrorLevel
               DebugPrintErrorLevel DebugPropertyMask)
    _vexa_hex(${${name}} hex_${name})
  endforeach()
  foreach(name SerialUseMmio SerialUseHardwareFlowControl SerialDetectCable)
    if(${name})
      set(c_${name} TRUE)
    else()
      set(c_${name} FALSE)
    endif()
  endforeach()
  set(header "// Generated from ${raw_Board}'s board settings by cmake/Board.cmake; do not edit.
#pragma once
#define VEXA_BOARD_NAME \"${raw_Board}\"
#define VEXA_BOARD_PCI_EXPRESS_BASE_ADDRESS ${hex_PciExpressBaseAddress}ull
#define VEXA_BOARD_SERIAL_REGISTER_BASE ${hex_SerialRegisterBase}ull
#define VEXA_BOARD_SERIAL_USE_MMIO ${c_SerialUseMmio}
#define VEXA_BOARD_SERIAL_PCI_DEVICE_INFO ${byteText}
#define VEXA_BOARD_SERIAL_LINE_CONTROL ${hex_SerialLineControl}
#define VEXA_BOARD_SERIAL_FIFO_CONTROL ${hex_SerialFifoControl}
#define VEXA_BOARD_SERIAL_EXTENDED_TX_FIFO_SIZE ${SerialExtendedTxFifoSize}
#define VEXA_BOARD_SERIAL_USE_HARDWARE_FLOW_CONTROL ${c_SerialUseHardwareFlowControl}
#define VEXA_BOARD_SERIAL_DETECT_CABLE ${c_SerialDetectCable}
#define VEXA_BOARD_SERIAL_BAUD_RATE ${SerialBaudRate}
#define VEXA_BOARD_SERIAL_CLOCK_RATE ${SerialClockRate}
#define VEXA_BOARD_FIXED_DEBUG_PRINT_ERROR_LEVEL ${hex_FixedDebugPrintErrorLevel}u
#define VEXA_BOARD_DEBUG_PRINT_ERROR_LEVEL ${hex_DebugPrintErrorLevel}u
#define VEXA_BOARD_DEBUG_PROPERTY_MASK ${hex_DebugPropertyMask}
#define VEXA_BOARD_PCI_EXPRESS_BAR_CHECK ${c_PciExpressBarCheck}
#define VEXA_BOARD_PCI_EXPRESS_BAR_REGISTER ${hex_PciExpressBarRegister}u
#define VEXA_BOARD_PCI_EXPRESS_BAR_MASK ${hex_PciExpressBarMask}ull
")
  file(CONFIGURE OUTPUT "${outdir}/VexaBoardSettings.h" CONTENT "${header}")

  # The record: every setting as the build took it, normalised.
  string(REGEX REPLACE "[ \t]*,[ \t]*" ", " pathText "${path}")
  string(STRIP "${pathText}" pathText)
  set(record "")
  foreach(name IN LISTS VEXA_BOARD_SETTINGS VEXA_BOARD_OPTIONAL_SETTINGS)
    if(NOT DEFINED seen_${name})
      continue()
    elseif(name STREQUAL "Board")
      set(shown "${raw_Board}")
    elseif(name STREQUAL "SerialPciDeviceInfo")
      set(shown "${pathText}")
    elseif(DEFINED hex_${name})
      set(shown "${hex_${name}}")
    else()
      set(shown "${${name}}")
    endif()
    string(APPEND record "Board setting: ${name} = ${shown}\n")
  endforeach()
  file(CONFIGURE OUTPUT "${outdir}/VexaBoardSettings.txt" CONTENT "${record}")
  set(VEXA_BOARD_NAME "${raw_Board}" PARENT_SCOPE)
endfunction()
