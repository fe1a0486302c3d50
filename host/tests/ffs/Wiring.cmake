# The packager tests: the packager's library, and where the image, its volume,
# the packer and the extractor are.
find_program(VEXA_UEFIEXTRACT NAMES UEFIExtract uefiextract)
target_link_libraries(test_ffs PRIVATE vexa_ffs)
add_dependencies(test_ffs vexa_firmware_volume)
target_compile_definitions(test_ffs PRIVATE
  VEXA_IMAGE_PATH="${VEXA_IMAGE_PATH}" VEXA_FV_PATH="${VEXA_FV_PATH}"
  VEXA_FFS_TOOL="$<TARGET_FILE:vexa_ffs_tool>" VEXA_UEFIEXTRACT="${VEXA_UEFIEXTRACT}")
