# Two build types beyond CMake's own, for finding memory errors, undefined
# behaviour and data races (`make test CONFIG=asan`, `make test CONFIG=tsan`,
# each in its own folder build/asan, build/tsan):
#   asan  AddressSanitizer with LeakSanitizer, and UndefinedBehaviorSanitizer;
#         any report ends the program, so the test that met it fails
#   tsan  ThreadSanitizer
# Everything is built with them, the tds-sandbox included, so the test
# programs and the server they start are both checked. Debug information and
# light optimisation keep the reports readable and the tests quick enough.
# sanitizers/ beside this file holds the suppressions for libraries that are
# not built here; the Makefile points the sanitizers' runtimes at them.

set(_orvexa_sanitizer_common "-O1 -g -fno-omit-frame-pointer")
set(_orvexa_sanitizer_asan "-fsanitize=address,undefined -fno-sanitize-recover=undefined")
set(_orvexa_sanitizer_tsan "-fsanitize=thread")

foreach(_type asan tsan)
  string(TOUPPER ${_type} _TYPE)
  set(CMAKE_C_FLAGS_${_TYPE} "${_orvexa_sanitizer_common} ${_orvexa_sanitizer_${_type}}"
      CACHE STRING "C compiler flags of the ${_type} build" FORCE)
  set(CMAKE_CXX_FLAGS_${_TYPE} "${_orvexa_sanitizer_common} ${_orvexa_sanitizer_${_type}}"
      CACHE STRING "C++ compiler flags of the ${_type} build" FORCE)
  foreach(_kind EXE SHARED MODULE)
    set(CMAKE_${_kind}_LINKER_FLAGS_${_TYPE} "${_orvexa_sanitizer_${_type}}"
        CACHE STRING "Linker flags of the ${_type} build" FORCE)
  endforeach()
  mark_as_advanced(CMAKE_C_FLAGS_${_TYPE} CMAKE_CXX_FLAGS_${_TYPE} CMAKE_EXE_LINKER_FLAGS_${_TYPE}
                   CMAKE_SHARED_LINKER_FLAGS_${_TYPE} CMAKE_MODULE_LINKER_FLAGS_${_TYPE})
endforeach()

string(TOLOWER "${CMAKE_BUILD_TYPE}" _orvexa_build_type)
if(_orvexa_build_type STREQUAL "asan" OR _orvexa_build_type STREQUAL "tsan")
  set(ORVEXA_SANITIZER ${_orvexa_build_type})
  # For the few tests whose measure the sanitizers change (peak memory).
  add_compile_definitions(ORVEXA_SANITIZER="${_orvexa_build_type}")
  message(STATUS "Orvexa: ${_orvexa_build_type} build (sanitizers on)")
endif()
