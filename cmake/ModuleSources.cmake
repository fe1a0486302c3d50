# The module's sources: everything under the module's own folders goes into
# both builds.  Each source is told its module-relative name (path without
# extension), which assertion reports print instead of a build path.

file(GLOB_RECURSE VEXA_MODULE_SOURCES CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/MdePkg/Library/*.cpp
  ${PROJECT_SOURCE_DIR}/MdePkg/Library/*.S
  ${PROJECT_SOURCE_DIR}/SerialPort/*.cpp
  ${PROJECT_SOURCE_DIR}/Feature/*.cpp)

set(VEXA_MODULE_INCLUDE_DIRS
  ${PROJECT_SOURCE_DIR}/MdePkg/Include
  ${PROJECT_SOURCE_DIR}/Feature/VexaGpioUnlockSmm
  ${PROJECT_SOURCE_DIR})

# Source properties are per directory: call this where the target using the
# module sources is created.
function(vexa_name_module_sources)
  foreach(src IN LISTS VEXA_MODULE_SOURCES)
    file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR} ${src})
    string(REGEX REPLACE "\\.[^./]+$" "" rel_noext ${rel})
    set_property(SOURCE ${src} APPEND PROPERTY COMPILE_DEFINITIONS "VEXA_SOURCE_FILE=\"${rel_noext}\"")
  endforeach()
endfunction()

set(VEXA_WARNINGS -Wall -Wextra -Werror -Wno-unused-parameter)
