# cmake -DSOURCE_DIR=... -DBUILD_DIR=... -DIMAGE=... [-DOPTION=NAME] -P Rebuild.cmake
# Builds the image from scratch in BUILD_DIR (with the build option NAME
# switched on, if given) and compares it with IMAGE.
foreach(var SOURCE_DIR BUILD_DIR IMAGE)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "Rebuild.cmake needs -D${var}=...")
  endif()
endforeach()
if(NOT EXISTS ${IMAGE})
  message(FATAL_ERROR "no image to compare with at ${IMAGE}")
endif()

set(option)
if(DEFINED OPTION)
  set(option -D${OPTION}=ON)
endif()
file(REMOVE_RECURSE ${BUILD_DIR})
include(${SOURCE_DIR}/cmake/FirmwareBuild.cmake)
execute_process(
  COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${BUILD_DIR} ${VEXA_FIRMWARE_CONFIGURE_ARGS} ${option}
  RESULT_VARIABLE configured OUTPUT_QUIET)
if(NOT configured EQUAL 0)
  message(FATAL_ERROR "configuring the second firmware build failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} --target vexa_image -j2
  RESULT_VARIABLE built OUTPUT_QUIET)
if(NOT built EQUAL 0)
  message(FATAL_ERROR "building the second image failed")
endif()

set(rebuilt ${BUILD_DIR}/firmware/VexaGpioUnlockSmm.efi)
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${IMAGE} ${rebuilt} RESULT_VARIABLE differs)
if(NOT differs EQUAL 0)
  file(SHA256 ${IMAGE} first)
  file(SHA256 ${rebuilt} second)
  message(FATAL_ERROR "the images differ:\n  ${IMAGE} ${first}\n  ${rebuilt} ${second}\n"
                      "(an image built before the sources last changed differs too: build, then test)")
endif()
file(SIZE ${IMAGE} size)
message(STATUS "identical, ${size} bytes: ${IMAGE} and ${rebuilt}")
