# The QEMU tests: the rig, the harness (the simulator's side of each
# comparison), the main-job tool, and the image and guest they run.
target_link_libraries(test_qemu PRIVATE vexa_qemu vexa_harness)
add_dependencies(test_qemu vexa_firmware_image vexa_qemu_guest vexa-platform)
target_compile_definitions(test_qemu PRIVATE VEXA_IMAGE_PATH="${VEXA_IMAGE_PATH}"
  VEXA_PLATFORM_TOOL="$<TARGET_FILE:vexa-platform>")
