# The host build: the module as a static library for Linux x86-64, linked with
# the simulated platform, the tests, the tools and the benchmarks.

option(VEXA_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)

if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "The host build needs clang (EFIAPI variadic functions use __builtin_ms_va_list)")
endif()

if(VEXA_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# The module: the same sources as the image.  Only the lowest access level
# differs: VEXA_HOST_BUILD routes it to the simulator's bus.
add_library(vexa_module_headers INTERFACE)
target_include_directories(vexa_module_headers INTERFACE ${VEXA_MODULE_INCLUDE_DIRS})
target_compile_definitions(vexa_module_headers INTERFACE VEXA_HOST_BUILD)
add_library(vexa_module STATIC ${VEXA_MODULE_SOURCES})
vexa_name_module_sources()
target_include_directories(vexa_module PUBLIC ${VEXA_BOARD_DIR})
target_link_libraries(vexa_module PUBLIC vexa_module_headers)
# The module's own flags, for the configured board's library and each
# example board's alike.
set(VEXA_MODULE_HOST_OPTIONS
  $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti -fno-threadsafe-statics -Werror=global-constructors
  ${VEXA_WARNINGS}>)
target_compile_options(vexa_module PRIVATE ${VEXA_MODULE_HOST_OPTIONS})

enable_testing()
find_package(GTest REQUIRED)
find_package(Threads REQUIRED)

# The firmware image, built from the same sources by the firmware toolchain,
# so that one host build yields everything the tests and tools use.
include(ExternalProject)
include(${CMAKE_CURRENT_LIST_DIR}/FirmwareBuild.cmake)
# vexa_firmware_subbuild(TARGET BINARY_DIR BOARD_FILE [ExternalProject options]):
# an image build of the sources for the board in BOARD_FILE.
function(vexa_firmware_subbuild target binary_dir board)
  ExternalProject_Add(${target}
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${binary_dir}
    CMAKE_ARGS ${VEXA_FIRMWARE_CONFIGURE_ARGS} -DVEXA_BOARD=${board}
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    ${ARGN})
endfunction()
vexa_firmware_subbuild(vexa_firmware_image ${CMAKE_BINARY_DIR}/firmware-build ${VEXA_BOARD} USES_TERMINAL_BUILD ON)
# Where the image lands (firmware/CMakeLists.txt names it).
set(VEXA_IMAGE_PATH ${CMAKE_BINARY_DIR}/firmware-build/firmware/VexaGpioUnlockSmm.efi)

# The example boards (boards/example-*.board), built and tested beside the
# configured one: for each, its image (a firmware sub-build with that board)
# and the module's host build with the same settings, so that the tests can
# hold the two against each other on a platform laid out as the board is.
file(GLOB VEXA_EXAMPLE_BOARD_FILES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/boards/example-*.board
     ${PROJECT_SOURCE_DIR}/boards/qemu-*.board)
set(VEXA_EXAMPLE_BOARDS)
foreach(file IN LISTS VEXA_EXAMPLE_BOARD_FILES)
  get_filename_component(board ${file} NAME_WE)
  set(dir ${CMAKE_BINARY_DIR}/boards/${board})
  vexa_board(${file} ${dir}/settings)
  vexa_firmware_subbuild(vexa_board_image_${board} ${dir}/firmware-build ${file})
  set(VEXA_BOARD_IMAGE_${board} ${dir}/firmware-build/firmware/VexaGpioUnlockSmm.efi)
  add_library(vexa_module_${board} STATIC ${VEXA_MODULE_SOURCES})
  target_include_directories(vexa_module_${board} PUBLIC ${dir}/settings ${VEXA_MODULE_INCLUDE_DIRS})
  target_compile_definitions(vexa_module_${board} PUBLIC VEXA_HOST_BUILD)
  target_compile_options(vexa_module_${board} PRIVATE ${VEXA_MODULE_HOST_OPTIONS})
  list(APPEND VEXA_EXAMPLE_BOARDS ${board})
endforeach()

add_subdirectory(host)
