# A DLL that loads on a clean Windows 95 or NT 4.0: no C or C++ runtime, our
# own entry point, imports from the system DLLs only, and version 4.0 in the
# PE header.
function(nrv_windows_dll target)
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    RUNTIME_OUTPUT_DIRECTORY "${NRV_DIST_DIR}"
    LIBRARY_OUTPUT_DIRECTORY "${NRV_DIST_DIR}"
    ARCHIVE_OUTPUT_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}")
  target_compile_definitions(${target} PRIVATE _WIN32_WINNT=0x0400 WINVER=0x0400)
  target_compile_options(${target} PRIVATE
    -Os -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-stack-protector
    -fno-tree-loop-distribute-patterns -fno-threadsafe-statics)
  target_link_options(${target} PRIVATE
    -shared -nostdlib -Wl,-e,_DllMain@12 -Wl,--enable-stdcall-fixup
    -Wl,--major-os-version,4,--minor-os-version,0,--major-subsystem-version,4,--minor-subsystem-version,0)
  target_link_libraries(${target} PRIVATE winspool advapi32 user32 kernel32 gcc)
endfunction()
