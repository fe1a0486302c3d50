# Freestanding x86-64 code for a PE32+ image: clang for the x86_64 Windows
# target, linked by lld-link without any runtime.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_ASM_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET x86_64-unknown-windows)
set(CMAKE_CXX_COMPILER_TARGET x86_64-unknown-windows)
set(CMAKE_ASM_COMPILER_TARGET x86_64-unknown-windows)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
# For a target whose compiler simulates MSVC, CMake's Generic platform passes
# no --target of its own: give it to every compile explicitly.
set(CMAKE_C_FLAGS_INIT "--target=x86_64-unknown-windows")
set(CMAKE_CXX_FLAGS_INIT "--target=x86_64-unknown-windows")
set(CMAKE_ASM_FLAGS_INIT "--target=x86_64-unknown-windows")
