# The main-job test runs the tool on copies of the image it patches.
target_link_libraries(test_mainjob PRIVATE vexa_pe)
add_dependencies(test_mainjob vexa-platform vexa_firmware_image)
target_compile_definitions(test_mainjob PRIVATE VEXA_IMAGE_PATH="${VEXA_IMAGE_PATH}"
  VEXA_PLATFORM_TOOL="$<TARGET_FILE:vexa-platform>")
