# The QEMU tests: the rig, the harness (the simulator's side of each
# comparison), the main-job tool, and the image and guest they run.
target_link_libraries(test_qemu PRIVATE vexa_qemu vexa_harness)
add_dependencies(test_qemu vexa_firmware_image vexa_qemu_guest vexa-platform)
add_dependencies(test_qemu vexa_board_image_example-e0000000-9600 vexa_board_image_qemu-q35)
target_compile_definitions(test_qemu PRIVATE VEXA_IMAGE_PATH="${VEXA_IMAGE_PATH}"
  VEXA_BOARD_WINDOW_IMAGE="${VEXA_BOARD_IMAGE_example-e0000000-9600}"
  VEXA_Q35_BOARD_IMAGE="${VEXA_BOARD_IMAGE_qemu-q35}"
  VEXA_PLATFORM_TOOL="$<TARGET_FILE:vexa-platform>" VEXA_SOURCE_ROOT="${PROJECT_SOURCE_DIR}")
