# Compiles (without linking) every driver source for the real target's ABI,
# 32-bit Windows, freestanding, so that layouts and kernel-code rules are
# checked where the driver really runs.
find_program(MDX_MINGW_CXX i686-w64-mingw32-g++)
get_property(MDX_DRIVER_SOURCES GLOBAL PROPERTY MDX_DRIVER_SOURCES)

if(MDX_MINGW_CXX)
  set(_objs)
  foreach(src IN LISTS MDX_DRIVER_SOURCES)
    file(RELATIVE_PATH rel "${CMAKE_SOURCE_DIR}" "${src}")
    string(REPLACE "/" "_" obj "${rel}")
    set(obj "${CMAKE_BINARY_DIR}/target32/${obj}.o")
    add_custom_command(
      OUTPUT "${obj}"
      COMMAND "${CMAKE_COMMAND}" -E make_directory "${CMAKE_BINARY_DIR}/target32"
      COMMAND "${MDX_MINGW_CXX}" -std=c++20 -ffreestanding -fno-exceptions -fno-rtti
              -nostdinc++ -Wall -Wextra -Werror -Wno-unused-parameter
              -I "${CMAKE_SOURCE_DIR}/src/wnt_sys" -I "${CMAKE_SOURCE_DIR}/src/wnt_sys/platform"
              -MD -MF "${obj}.d" -c "${src}" -o "${obj}"
      DEPENDS "${src}"
      DEPFILE "${obj}.d"
      COMMENT "32-bit target check: ${rel}"
      VERBATIM)
    list(APPEND _objs "${obj}")
  endforeach()
  add_custom_target(driver_target_check DEPENDS ${_objs})
else()
  add_custom_target(driver_target_check
    COMMAND "${CMAKE_COMMAND}" -E echo "i686-w64-mingw32-g++ not found: install g++-mingw-w64-i686"
    COMMAND "${CMAKE_COMMAND}" -E false)
endif()
