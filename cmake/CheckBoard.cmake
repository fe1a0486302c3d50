# Checks a board file without building anything, and shows the settings
# record an image built from it would carry:
#   cmake -DBOARD=path/to/your.board -P cmake/CheckBoard.cmake
# Exits non-zero, naming the setting, when a value is out of its range.
cmake_minimum_required(VERSION 3.20)
if(NOT DEFINED BOARD)
  message(FATAL_ERROR "usage: cmake -DBOARD=path/to/your.board -P cmake/CheckBoard.cmake")
endif()
include(${CMAKE_CURRENT_LIST_DIR}/Board.cmake)
get_filename_component(BOARD "${BOARD}" ABSOLUTE)
if(NOT DEFINED OUT)
  string(RANDOM LENGTH 8 suffix)
  # Outside the source tree: a check run from the repository leaves nothing in it.
  if(DEFINED ENV{TMPDIR} AND IS_DIRECTORY "$ENV{TMPDIR}")
    set(OUT "$ENV{TMPDIR}/vexa-board-check-${suffix}")
  else()
    set(OUT "/tmp/vexa-board-check-${suffix}")
  endif()
  set(remove TRUE)
endif()
vexa_board("${BOARD}" "${OUT}")
file(READ "${OUT}/VexaBoardSettings.txt" record)
message("${record}")
if(remove)
  file(REMOVE_RECURSE "${OUT}")
endif()
