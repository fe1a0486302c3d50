# Board settings: reads a board file (boards/default.board shows the format
# and every setting's meaning and range), checks each value, and writes
#   - VexaBoardSettings.h: the values as the module's build settings, which
#     Feature/VexaGpioUnlockSmm/AutoGen.h turns into its Pcd constants;
#   - a settings record, "Board setting: NAME = VALUE" lines, which the image
#     build appends to the image's linker map so the tools can tell which
#     board an image was built for.
# Three steps, each its own function: _vexa_board_read (the file into
# raw_NAME and line_NAME), _vexa_board_check (each value against its range
# and the others, into value_NAME, normalised) and _vexa_board_write (the
# header and the record).  A value out of range stops the configuration with
# a message naming the file, the line, the setting and what it may be: a bad
# file never gives an image.
#
# To add a setting: name it in VEXA_BOARD_SETTINGS, check it in
# _vexa_board_check (it sets value_NAME), and give it a header line in
# _vexa_board_write; the record takes every setting by itself.

set(VEXA_BOARD_SETTINGS
  Board PciExpressBaseAddress LegacyIoDecode SuperIoIndexPort SerialRegisterBase SerialUseMmio SerialPciDeviceInfo
  SerialLineControl SerialFifoControl SerialExtendedTxFifoSize SerialUseHardwareFlowControl SerialDetectCable
  SerialBaudRate SerialClockRate FixedDebugPrintErrorLevel DebugPrintErrorLevel DebugPropertyMask)
# Settings a board may leave out: the window check (both or neither; absent,
# the handler trusts the window).
set(VEXA_BOARD_OPTIONAL_SETTINGS PciExpressBarRegister PciExpressBarMask)

set(_VEXA_PCI_EXPRESS_WINDOW_SIZE 0x10000000)  # 256 buses x 32 devices x 8 functions x 4 KiB

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

# Read: every "NAME = VALUE" line of `file` into raw_NAME, its line number
# into line_NAME.  Unknown, repeated and missing settings stop here.
function(_vexa_board_read file)
  if(IS_DIRECTORY "${file}")
    message(FATAL_ERROR "board settings ${file}: a folder, not a board file (name a file such as boards/default.board)")
  endif()
  if(NOT EXISTS "${file}")
    message(FATAL_ERROR "board settings ${file}: no such file")
  endif()
  get_filename_component(stem "${file}" NAME_WE)
  if(stem STREQUAL "")
    message(FATAL_ERROR "board settings ${file}: the file name has no name before its extension "
                        "(the build keeps each board's files under that name): call it NAME.board")
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
    if(NOT name IN_LIST VEXA_BOARD_SETTINGS AND NOT name IN_LIST VEXA_BOARD_OPTIONAL_SETTINGS)
      message(FATAL_ERROR "board settings ${file}, line ${line}: unknown setting '${name}' "
                          "(the settings are: ${VEXA_BOARD_SETTINGS} ${VEXA_BOARD_OPTIONAL_SETTINGS})")
    endif()
    if(DEFINED line_${name})
      message(FATAL_ERROR "board settings ${file}, line ${line}: ${name} is given twice (first on line ${line_${name}})")
    endif()
    set(line_${name} ${line})
    set(raw_${name} "${CMAKE_MATCH_2}")
  endforeach()
  foreach(name IN LISTS VEXA_BOARD_SETTINGS)
    if(NOT DEFINED line_${name})
      message(FATAL_ERROR "board settings ${file}: ${name} is missing (every setting must be given)")
    endif()
    set(raw_${name} "${raw_${name}}" PARENT_SCOPE)
    set(line_${name} ${line_${name}} PARENT_SCOPE)
  endforeach()
  foreach(name IN LISTS VEXA_BOARD_OPTIONAL_SETTINGS)
    if(DEFINED line_${name})
      set(raw_${name} "${raw_${name}}" PARENT_SCOPE)
      set(line_${name} ${line_${name}} PARENT_SCOPE)
    endif()
  endforeach()
endfunction()

# Check: each raw_NAME against its range, and the settings against each
# other; sets value_NAME (numbers in decimal, switches TRUE or FALSE, the
# board's name and the PCI path as text) and path_bytes (the PCI path as
# the module's bytes).
function(_vexa_board_check file)
  macro(_refuse name why)
    _vexa_board_fail("${file}" ${line_${name}} ${name} "${raw_${name}}" "${why}")
  endmacro()
  macro(_number name min max)
    _vexa_board_number("${file}" ${line_${name}} ${name} "${raw_${name}}" ${min} ${max} value_${name})
  endmacro()
  macro(_switch name)
    _vexa_board_switch("${file}" ${line_${name}} ${name} "${raw_${name}}" value_${name})
  endmacro()

  if(NOT raw_Board MATCHES "^[A-Za-z0-9_-]+$")
    _refuse(Board "letters, digits, '-' and '_' only, at least one")
  endif()
  set(value_Board "${raw_Board}")

  _number(PciExpressBaseAddress 0x10000000 0xFFF0000000)
  math(EXPR misaligned "${value_PciExpressBaseAddress} % ${_VEXA_PCI_EXPRESS_WINDOW_SIZE}")
  if(NOT misaligned EQUAL 0)
    _refuse(PciExpressBaseAddress "must be a multiple of 0x10000000 (the window is 256 MiB)")
  endif()
  math(EXPR windowEnd "${value_PciExpressBaseAddress} + ${_VEXA_PCI_EXPRESS_WINDOW_SIZE}")

  _number(LegacyIoDecode 0 0xFFFFFFFF)

  _switch(SerialUseMmio)
  if(value_SerialUseMmio)
    # Eight byte registers at base + 0..7, all at canonical addresses (below
    # 0x800000000000; the upper half is not memory a firmware maps).
    _number(SerialRegisterBase 1 0x7FFFFFFFFFF8)
    math(EXPR uartEnd "${value_SerialRegisterBase} + 8")
    if(uartEnd GREATER value_PciExpressBaseAddress AND value_SerialRegisterBase LESS windowEnd)
      _refuse(SerialRegisterBase "lies in the PCI Express window (${raw_PciExpressBaseAddress}, 256 MiB), which is configuration space")
    endif()
  else()
    _number(SerialRegisterBase 0x8 0xFFF8)
    math(EXPR misaligned "${value_SerialRegisterBase} % 8")
    if(NOT misaligned EQUAL 0)
      _refuse(SerialRegisterBase "an I/O base must be a multiple of 8")
    endif()
  endif()

  if(raw_SuperIoIndexPort STREQUAL "NONE")
    set(value_SuperIoIndexPort 0)
  else()
    _number(SuperIoIndexPort 0x10 0xFFFE)
    math(EXPR odd "${value_SuperIoIndexPort} % 2")
    if(odd)
      _refuse(SuperIoIndexPort "must be even (the data port follows it) or NONE")
    endif()
    # Neither port may be one the module uses for something else.
    math(EXPR data "${value_SuperIoIndexPort} + 1")
    set(taken "0x70 0x71 (CMOS)" 0x70 0x71 "0xCF8-0xCFF (PCI configuration)" 0xCF8 0xCFF)
    if(NOT value_SerialUseMmio)
      math(EXPR uartLast "${value_SerialRegisterBase} + 7")
      list(APPEND taken "the UART's ports" ${value_SerialRegisterBase} ${uartLast})
    endif()
    while(taken)
      list(POP_FRONT taken what first last)
      math(EXPR first "${first}")
      math(EXPR last "${last}")
      if(NOT (data LESS first OR value_SuperIoIndexPort GREATER last))
        _refuse(SuperIoIndexPort "its ports overlap ${what}")
      endif()
    endwhile()
  endif()

  _number(SerialLineControl 0 0x3F)
  _number(SerialFifoControl 0 0xFF)
  _number(SerialExtendedTxFifoSize 1 64)
  _switch(SerialUseHardwareFlowControl)
  _switch(SerialDetectCable)
  _number(SerialBaudRate 1 115200)
  if(NOT value_SerialBaudRate MATCHES "^(115200|57600|19200|9600)$")
    _refuse(SerialBaudRate "must be 115200, 57600, 19200 or 9600 (the rates CMOS byte 0x6F selects)")
  endif()
  math(EXPR lowestClock "16 * ${value_SerialBaudRate}")
  _number(SerialClockRate ${lowestClock} 100000000)
  _number(FixedDebugPrintErrorLevel 0 0xFFFFFFFF)
  _number(DebugPrintErrorLevel 0 0xFFFFFFFF)
  _number(DebugPropertyMask 0 0xFF)

  # The PCI path: "DEVICE FUNCTION PMREG, ..., END".
  string(REGEX REPLACE "[ \t]+" " " path "${raw_SerialPciDeviceInfo}")
  string(REPLACE "," ";" entries "${path}")
  set(bytes)
  set(ended FALSE)
  set(count 0)
  foreach(entry IN LISTS entries)
    string(STRIP "${entry}" entry)
    if(ended)
      _refuse(SerialPciDeviceInfo "nothing may follow END")
    endif()
    if(entry STREQUAL "END")
      set(ended TRUE)
      list(APPEND bytes 0xFF 0x00 0x00 0x00)
      continue()
    endif()
    string(REPLACE " " ";" fields "${entry}")
    list(LENGTH fields n)
    if(NOT n EQUAL 3)
      _refuse(SerialPciDeviceInfo "each entry is DEVICE FUNCTION PMREG, not '${entry}'")
    endif()
    list(GET fields 0 device)
    list(GET fields 1 function)
    list(GET fields 2 pm)
    set(at "${file}" ${line_SerialPciDeviceInfo})
    _vexa_board_number(${at} "SerialPciDeviceInfo (device)" "${device}" 0 31 device)
    _vexa_board_number(${at} "SerialPciDeviceInfo (function)" "${function}" 0 7 function)
    _vexa_board_number(${at} "SerialPciDeviceInfo (power-management register)" "${pm}" 0 0xFFE pm)
    math(EXPR odd "${pm} % 2")
    if(NOT pm EQUAL 0 AND (pm LESS 0x40 OR odd EQUAL 1))
      _refuse(SerialPciDeviceInfo "the power-management register ${pm} must be 0 or an even offset from 0x40 to 0xFFE (a whole aligned word in the capability space)")
    endif()
    math(EXPR pmLow "${pm} & 0xFF")
    math(EXPR pmHigh "${pm} >> 8")
    list(APPEND bytes ${device} ${function} ${pmLow} ${pmHigh})
    math(EXPR count "${count} + 1")
  endforeach()
  if(NOT ended)
    _refuse(SerialPciDeviceInfo "the path must end with END")
  endif()
  if(count GREATER 0)
    # The base is what an empty BAR receives: 32 bits, and the BAR keeps only
    # its address bits (memory bits 4-31; I/O ports are multiples of 8 already).
    if(value_SerialRegisterBase GREATER 0xFFFFFFFF)
      _refuse(SerialRegisterBase "a UART on PCI takes a 32-bit base (it is the value given to an empty BAR)")
    endif()
    math(EXPR misaligned "${value_SerialRegisterBase} % 16")
    if(value_SerialUseMmio AND NOT misaligned EQUAL 0)
      _refuse(SerialRegisterBase "a memory BAR holds a multiple of 16: a UART on PCI takes a base that is one")
    endif()
  endif()
  string(REGEX REPLACE "[ \t]*,[ \t]*" ", " pathText "${path}")
  string(STRIP "${pathText}" value_SerialPciDeviceInfo)

  # The window check: the chipset register that holds the window's base, as a
  # configuration address on bus 0 that the legacy ports reach (bus << 20 |
  # device << 15 | function << 12 | register; a 64-bit register, so the offset
  # a multiple of 8 below 0x100), and the mask of its bits that must read as
  # the window's base with bit 0 (decoding) set.
  if(DEFINED line_PciExpressBarRegister OR DEFINED line_PciExpressBarMask)
    foreach(name PciExpressBarRegister PciExpressBarMask)
      if(NOT DEFINED line_${name})
        message(FATAL_ERROR "board settings ${file}: PciExpressBarRegister and PciExpressBarMask go together; "
                            "${name} is missing")
      endif()
    endforeach()
    _number(PciExpressBarRegister 0 0x0FFFFFF8)
    math(EXPR offset "${value_PciExpressBarRegister} & 0xFFF")
    math(EXPR misaligned "${value_PciExpressBarRegister} % 8")
    if(offset GREATER 0xF8 OR NOT misaligned EQUAL 0)
      _refuse(PciExpressBarRegister "the register must be a multiple of 8 below 0x100 (a 64-bit register the legacy ports reach)")
    endif()
    _number(PciExpressBarMask 1 0xFFFFFFFFFFFF)
    math(EXPR wanted "${value_PciExpressBaseAddress} | 1")
    math(EXPR covered "${value_PciExpressBarMask} & ${wanted}")
    if(NOT covered EQUAL wanted)
      _refuse(PciExpressBarMask "must cover bit 0 and every bit of PciExpressBaseAddress")
    endif()
    foreach(name IN LISTS VEXA_BOARD_OPTIONAL_SETTINGS)
      set(value_${name} "${value_${name}}" PARENT_SCOPE)
    endforeach()
  endif()

  foreach(name IN LISTS VEXA_BOARD_SETTINGS)
    set(value_${name} "${value_${name}}" PARENT_SCOPE)
  endforeach()
  set(path_bytes ${bytes} PARENT_SCOPE)
endfunction()

# Write: the header and the record into `outdir`.
function(_vexa_board_write outdir)
  set(hexBytes)
  foreach(b IN LISTS path_bytes)
    _vexa_hex(${b} h)
    list(APPEND hexBytes ${h})
  endforeach()
  string(REPLACE ";" ", " byteText "${hexBytes}")
  set(hexSettings PciExpressBaseAddress LegacyIoDecode SuperIoIndexPort SerialRegisterBase SerialLineControl
                  SerialFifoControl FixedDebugPrintErrorLevel DebugPrintErrorLevel DebugPropertyMask)
  foreach(name IN LISTS hexSettings)
    _vexa_hex(${value_${name}} hex_${name})
  endforeach()
  set(check FALSE)
  set(hex_PciExpressBarRegister 0x0)
  set(hex_PciExpressBarMask 0x0)
  if(DEFINED value_PciExpressBarRegister)
    set(check TRUE)
    _vexa_hex(${value_PciExpressBarRegister} hex_PciExpressBarRegister)
    _vexa_hex(${value_PciExpressBarMask} hex_PciExpressBarMask)
  endif()
  set(header "// Generated from ${value_Board}'s board settings by cmake/Board.cmake; do not edit.
#pragma once
#define VEXA_BOARD_NAME \"${value_Board}\"
#define VEXA_BOARD_PCI_EXPRESS_BASE_ADDRESS ${hex_PciExpressBaseAddress}ull
#define VEXA_BOARD_LEGACY_IO_DECODE ${hex_LegacyIoDecode}u
#define VEXA_BOARD_SUPER_IO_INDEX_PORT ${hex_SuperIoIndexPort}
#define VEXA_BOARD_SERIAL_REGISTER_BASE ${hex_SerialRegisterBase}ull
#define VEXA_BOARD_SERIAL_USE_MMIO ${value_SerialUseMmio}
#define VEXA_BOARD_SERIAL_PCI_DEVICE_INFO ${byteText}
#define VEXA_BOARD_SERIAL_LINE_CONTROL ${hex_SerialLineControl}
#define VEXA_BOARD_SERIAL_FIFO_CONTROL ${hex_SerialFifoControl}
#define VEXA_BOARD_SERIAL_EXTENDED_TX_FIFO_SIZE ${value_SerialExtendedTxFifoSize}
#define VEXA_BOARD_SERIAL_USE_HARDWARE_FLOW_CONTROL ${value_SerialUseHardwareFlowControl}
#define VEXA_BOARD_SERIAL_DETECT_CABLE ${value_SerialDetectCable}
#define VEXA_BOARD_SERIAL_BAUD_RATE ${value_SerialBaudRate}
#define VEXA_BOARD_SERIAL_CLOCK_RATE ${value_SerialClockRate}
#define VEXA_BOARD_FIXED_DEBUG_PRINT_ERROR_LEVEL ${hex_FixedDebugPrintErrorLevel}u
#define VEXA_BOARD_DEBUG_PRINT_ERROR_LEVEL ${hex_DebugPrintErrorLevel}u
#define VEXA_BOARD_DEBUG_PROPERTY_MASK ${hex_DebugPropertyMask}
#define VEXA_BOARD_PCI_EXPRESS_BAR_CHECK ${check}
#define VEXA_BOARD_PCI_EXPRESS_BAR_REGISTER ${hex_PciExpressBarRegister}u
#define VEXA_BOARD_PCI_EXPRESS_BAR_MASK ${hex_PciExpressBarMask}ull
")
  file(CONFIGURE OUTPUT "${outdir}/VexaBoardSettings.h" CONTENT "${header}")

  # The record: every setting as the build took it, normalised.
  set(record "")
  foreach(name IN LISTS VEXA_BOARD_SETTINGS)
    if(DEFINED hex_${name})
      set(shown "${hex_${name}}")
    else()
      set(shown "${value_${name}}")
    endif()
    if(name STREQUAL "SuperIoIndexPort" AND value_SuperIoIndexPort EQUAL 0)
      set(shown NONE)
    endif()
    string(APPEND record "Board setting: ${name} = ${shown}\n")
  endforeach()
  if(check)
    foreach(name IN LISTS VEXA_BOARD_OPTIONAL_SETTINGS)
      string(APPEND record "Board setting: ${name} = ${hex_${name}}\n")
    endforeach()
  endif()
  file(CONFIGURE OUTPUT "${outdir}/VexaBoardSettings.txt" CONTENT "${record}")
endfunction()

# Reads and checks `file`; writes the header and the record into `outdir`.
# Sets VEXA_BOARD_NAME to the board's name.
function(vexa_board file outdir)
  _vexa_board_read("${file}")
  _vexa_board_check("${file}")
  _vexa_board_write("${outdir}")
  set(VEXA_BOARD_NAME "${value_Board}" PARENT_SCOPE)
endfunction()
