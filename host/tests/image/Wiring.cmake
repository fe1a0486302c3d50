# The image test reads the image the firmware sub-build links, with its map
# file, and knows the directories whose names must not appear in it.
add_dependencies(test_image vexa_firmware_image)
target_compile_definitions(test_image PRIVATE
  VEXA_IMAGE_PATH="${VEXA_IMAGE_PATH}"
  VEXA_IMAGE_MAP_PATH="${CMAKE_BINARY_DIR}/firmware-build/firmware/VexaGpioUnlockSmm.map"
  VEXA_BUILD_DIR="${CMAKE_BINARY_DIR}"
  VEXA_SOURCE_ROOT="${PROJECT_SOURCE_DIR}")

# Reproducible: the same sources linked again in a directory of another name
# and depth give the same bytes.
add_test(NAME image.RebuildInAnotherDirectoryIsByteIdentical
  COMMAND ${CMAKE_COMMAND}
    -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
    -DBUILD_DIR=${CMAKE_BINARY_DIR}/image-rebuild/in/a/deeper/directory
    -DIMAGE=${VEXA_IMAGE_PATH}
    -P ${CMAKE_CURRENT_LIST_DIR}/Rebuild.cmake)
# The configured board has no window check: its image is the one the
# sources give with the check left out altogether.
add_test(NAME image.WithoutTheWindowCheckIsByteIdentical
  COMMAND ${CMAKE_COMMAND}
    -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
    -DBUILD_DIR=${CMAKE_BINARY_DIR}/image-rebuild/without-window-check
    -DIMAGE=${VEXA_IMAGE_PATH} -DOPTION=VEXA_WITHOUT_WINDOW_CHECK
    -P ${CMAKE_CURRENT_LIST_DIR}/Rebuild.cmake)
# Firmware builds of their own: run them once, in the full suite.
set_tests_properties(image.RebuildInAnotherDirectoryIsByteIdentical image.WithoutTheWindowCheckIsByteIdentical
  PROPERTIES LABELS no-sanitize TIMEOUT 900)
target_link_libraries(test_image PRIVATE vexa_pe)

# The deepest stack the module can take in the image as linked, from its
# entry point and from its SMI handler down through the deepest diagnostic
# path, by the stack report (host/bench/stack_depth.py): at most 1,792 bytes.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
find_program(VEXA_LLVM_OBJDUMP NAMES llvm-objdump llvm-objdump-14 REQUIRED)
add_test(NAME image.ModuleStackAtMost1792Bytes
  COMMAND ${CMAKE_COMMAND} -E env LLVM_OBJDUMP=${VEXA_LLVM_OBJDUMP}
          ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/host/bench/stack_depth.py ${VEXA_IMAGE_PATH} --max 1792)
set_tests_properties(image.ModuleStackAtMost1792Bytes PROPERTIES LABELS no-sanitize)
