# What the harness and packager tests need beyond the common test libraries:
# their libraries, and where the image, its volume and the extractor are.
find_program(VEXA_UEFIEXTRACT NAMES UEFIExtract uefiextract)
if(TARGET test_ffs)
  target_link_libraries(test_ffs PRIVATE vexa_ffs)
  add_dependencies(test_ffs vexa_firmware_volume)
  target_compile_definitions(test_ffs PRIVATE
    VEXA_IMAGE_PATH="${VEXA_IMAGE_PATH}" VEXA_FV_PATH="${VEXA_FV_PATH}"
    VEXA_FFS_TOOL="$<TARGET_FILE:vexa_ffs_tool>" VEXA_UEFIEXTRACT="${VEXA_UEFIEXTRACT}")
endif()
if(TARGET test_harness)
  target_link_libraries(test_harness PRIVATE vexa_harness)
  add_dependencies(test_harness vexa_firmware_image)
  target_compile_definitions(test_harness PRIVATE VEXA_IMAGE_PATH="${VEXA_IMAGE_PATH}"
    VEXA_SOURCE_ROOT="${PROJECT_SOURCE_DIR}")
endif()
