# The firmware sub-build's configure line: the firmware toolchain, the
# firmware build, optimised for size.  Every place that configures an image
# build uses it: the host build's image and example-board images
# (cmake/Host.cmake), and the image and bad-board checks, which include this
# file in script mode.  (CMakePresets.json's firmware preset says the same in
# its own form.)
set(VEXA_FIRMWARE_CONFIGURE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_CURRENT_LIST_DIR}/FirmwareToolchain.cmake
    -DVEXA_FIRMWARE=ON -DCMAKE_BUILD_TYPE=MinSizeRel)
