# The board test runs once for the configured board (test_boards, the
# default image) and once for each example board, with that board's image and
# the module's host build with the same settings.
target_link_libraries(test_boards PRIVATE vexa_harness)
add_dependencies(test_boards vexa_firmware_image)
target_compile_definitions(test_boards PRIVATE VEXA_BOARD_IMAGE="${VEXA_IMAGE_PATH}" VEXA_EXPECTED_BOARD="${VEXA_CONFIGURED_BOARD_NAME}")
foreach(board IN LISTS VEXA_EXAMPLE_BOARDS)
  add_executable(test_board_${board} ${CMAKE_CURRENT_LIST_DIR}/BoardTest.cpp)
  target_link_libraries(test_board_${board} PRIVATE vexa_module_${board} vexa_harness GTest::gtest_main)
  target_compile_options(test_board_${board} PRIVATE ${VEXA_WARNINGS})
  target_compile_definitions(test_board_${board} PRIVATE VEXA_BOARD_IMAGE="${VEXA_BOARD_IMAGE_${board}}"
                                                         VEXA_EXPECTED_BOARD="${board}")
  add_dependencies(test_board_${board} vexa_board_image_${board})
  gtest_discover_tests(test_board_${board} TEST_PREFIX "${board}." DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)

  # The image checks, on this board's image.
  add_executable(test_image_${board} ${PROJECT_SOURCE_DIR}/host/tests/image/ImageTest.cpp)
  target_link_libraries(test_image_${board} PRIVATE vexa_pe GTest::gtest_main)
  target_compile_options(test_image_${board} PRIVATE ${VEXA_WARNINGS})
  get_filename_component(image_dir ${VEXA_BOARD_IMAGE_${board}} DIRECTORY)
  target_compile_definitions(test_image_${board} PRIVATE
    VEXA_IMAGE_PATH="${VEXA_BOARD_IMAGE_${board}}" VEXA_IMAGE_MAP_PATH="${image_dir}/VexaGpioUnlockSmm.map"
    VEXA_BUILD_DIR="${CMAKE_BINARY_DIR}" VEXA_SOURCE_ROOT="${PROJECT_SOURCE_DIR}")
  add_dependencies(test_image_${board} vexa_board_image_${board})
  gtest_discover_tests(test_image_${board} TEST_PREFIX "${board}." DISCOVERY_TIMEOUT 60)
endforeach()

# Bad board files never give an image.
add_test(NAME boards.BadSettingsAreRefusedByName
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DWORK_DIR=${CMAKE_BINARY_DIR}/bad-boards
          -P ${CMAKE_CURRENT_LIST_DIR}/BadBoards.cmake)
set_tests_properties(boards.BadSettingsAreRefusedByName PROPERTIES LABELS no-sanitize TIMEOUT 300)
