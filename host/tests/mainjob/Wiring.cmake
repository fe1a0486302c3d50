# The main-job test runs the tool on copies of the image it patches.
target_link_libraries(test_mainjob PRIVATE vexa_pe)
add_dependencies(test_mainjob vexa-platform vexa_firmware_image vexa_board_image_example-pci-uart
  vexa_board_image_qemu-q35)
target_compile_definitions(test_mainjob PRIVATE VEXA_IMAGE_PATH="${VEXA_IMAGE_PATH}"
  VEXA_PCI_BOARD_IMAGE="${VEXA_BOARD_IMAGE_example-pci-uart}"
  VEXA_Q35_BOARD_IMAGE="${VEXA_BOARD_IMAGE_qemu-q35}"
  VEXA_PLATFORM_TOOL="$<TARGET_FILE:vexa-platform>")
# The command line's ranges are checked on the parser itself.
target_sources(test_mainjob PRIVATE ${PROJECT_SOURCE_DIR}/host/tools/platform/Options.cpp
  ${PROJECT_SOURCE_DIR}/host/tools/platform/Attacks.cpp)
