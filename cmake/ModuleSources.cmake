# The module's sources, by name: only what is listed here goes into the image
# (a stray file in the module's folders never does).  Both builds compile
# them.  Each source is told its module-relative name (path without
# extension), which assertion reports print instead of a build path.

set(VEXA_MODULE_SOURCES)
foreach(src
    Feature/VexaGpioUnlockSmm/AutoGen.cpp
    Feature/VexaGpioUnlockSmm/VexaGpioUnlockSmm.cpp
    MdePkg/Library/BaseDebugLibSerialPort/DebugLib.cpp
    MdePkg/Library/BaseIoLibIntrinsic/IoLib.cpp
    MdePkg/Library/BaseIoLibIntrinsic/IoLibMsc.cpp
    MdePkg/Library/BaseLib/CompilerIntrinsics.cpp
    MdePkg/Library/BaseLib/CpuBreakpoint.cpp
    MdePkg/Library/BaseLib/CpuDeadLoop.cpp
    MdePkg/Library/BaseLib/DivU64x32Remainder.cpp
    MdePkg/Library/BaseLib/LongJump.S
    MdePkg/Library/BaseLib/LongJump.cpp
    MdePkg/Library/BaseLib/SetJump.S
    MdePkg/Library/BaseLib/SetJump.cpp
    MdePkg/Library/BaseLib/String.cpp
    MdePkg/Library/BaseLib/Unaligned.cpp
    MdePkg/Library/BasePciExpressLib/PciExpressLib.cpp
    MdePkg/Library/BasePciExpressLib/PciLib.cpp
    MdePkg/Library/BasePrintLib/PrintLib.cpp
    MdePkg/Library/BasePrintLib/PrintLibInternal.cpp
    MdePkg/Library/SmmServicesTableLib/SmmServicesTableLib.cpp
    MdePkg/Library/UefiBootServicesTableLib/UefiBootServicesTableLib.cpp
    MdePkg/Library/UefiDriverEntryPoint/DriverEntryPoint.cpp
    SerialPort/PlatformHookLib.cpp
    SerialPort/SerialPortLib.cpp)
  list(APPEND VEXA_MODULE_SOURCES ${PROJECT_SOURCE_DIR}/${src})
endforeach()

# The folders of the module's headers; the board's generated settings
# (VEXA_BOARD_DIR, VexaBoardSettings.h) are added by each build.
set(VEXA_MODULE_INCLUDE_DIRS
  ${PROJECT_SOURCE_DIR}/MdePkg/Include
  ${PROJECT_SOURCE_DIR}/Feature/VexaGpioUnlockSmm
  ${PROJECT_SOURCE_DIR})

# Source properties are per directory: call this where the target using the
# module sources is created.
function(vexa_name_module_sources)
  foreach(src IN LISTS VEXA_MODULE_SOURCES)
    file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR} ${src})
    string(REGEX REPLACE "\\.[^./]+$" "" rel_noext ${rel})
    set_property(SOURCE ${src} APPEND PROPERTY COMPILE_DEFINITIONS "VEXA_SOURCE_FILE=\"${rel_noext}\"")
  endforeach()
endfunction()

set(VEXA_WARNINGS -Wall -Wextra -Werror -Wno-unused-parameter)
