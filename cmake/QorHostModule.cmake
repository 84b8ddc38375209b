# A host module: a shared object the platform loads by itself. It links to nothing but memcpy and
# memset (from the C library) and libgcc's static helpers, has no exceptions, RTTI or static
# constructors, exports only what is marked QOR_EXPORT, and binds its own calls to its own
# definitions (-Bsymbolic), so that names defined by the host process never stand in for them.
function(qor_host_module target)
  add_library(${target} SHARED ${ARGN})
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/modules
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    POSITION_INDEPENDENT_CODE ON)
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-use-cxa-atexit -fno-asynchronous-unwind-tables>
    -fno-stack-protector
    -fno-tree-loop-distribute-patterns
    -fno-plt)
  target_compile_definitions(${target} PRIVATE QOR_HOST_MODULE=1)
  target_link_options(${target} PRIVATE -Wl,-Bsymbolic ${QOR_NO_UNDEFINED} -Wl,-z,noexecstack)
  if(NOT QOR_SANITIZE)
    # Nothing from the C++ runtime; libc only for memcpy/memset, libgcc (static) for 64-bit
    # arithmetic helpers on i386.
    target_link_options(${target} PRIVATE -nodefaultlibs)
    target_link_libraries(${target} PRIVATE c gcc)
  endif()
endfunction()
