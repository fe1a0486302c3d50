# The harness tests: the harness, the image it runs, and the source root.
target_link_libraries(test_harness PRIVATE vexa_harness)
add_dependencies(test_harness vexa_firmware_image)
target_compile_definitions(test_harness PRIVATE VEXA_IMAGE_PATH="${VEXA_IMAGE_PATH}"
  VEXA_SOURCE_ROOT="${PROJECT_SOURCE_DIR}")
