# A DLL that loads on a clean Windows 95 or NT 4.0: no C or C++ runtime, our
# own entry point, imports from the system DLLs only, and version 4.0 in the
# PE header.
#
# The linker writes the full image, symbols included, into the build folder
# (the copy a debugger or the table check reads); dist/ gets the same image
# stripped of its symbols. Both carry a VERSIONINFO resource made from the
# project version. The build is reproducible: no time stamp in the header
# and no path of the build machine in the image.

set(NRV_CMAKE_DIR "${CMAKE_CURRENT_LIST_DIR}")

# The version of both libraries: the project version, padded to the four
# numbers of a VERSIONINFO.
string(REPLACE "." ";" NRV_VERSION_PARTS "${PROJECT_VERSION}.0.0.0")
list(SUBLIST NRV_VERSION_PARTS 0 4 NRV_VERSION_PARTS)
list(JOIN NRV_VERSION_PARTS "," NRV_VERSION_COMMAS)

# nrv_windows_dll(TARGET DESCRIPTION FILEOS BASE): FILEOS is the
# VERSIONINFO's target system, VOS_NT_WINDOWS32 (0x40004) or
# VOS_DOS_WINDOWS32 (0x10004). BASE is the preferred load address; left to
# ld, it would be a hash of the output path as the linker is called with
# it, which differs between build tools.
function(nrv_windows_dll target description fileos base)
  set(NRV_RC_NAME "${target}")
  set(NRV_RC_DESCRIPTION "${description}")
  set(NRV_RC_FILEOS "${fileos}")
  set(rc "${CMAKE_CURRENT_BINARY_DIR}/${target}.rc")
  configure_file("${NRV_CMAKE_DIR}/version.rc.in" "${rc}" @ONLY)
  target_sources(${target} PRIVATE "${rc}")

  set_target_properties(${target} PROPERTIES
    PREFIX ""
    RUNTIME_OUTPUT_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}"
    LIBRARY_OUTPUT_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}"
    ARCHIVE_OUTPUT_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}")
  target_compile_definitions(${target} PRIVATE _WIN32_WINNT=0x0400 WINVER=0x0400)
  # For size: every function and datum in a section of its own, so that the
  # linker drops what nothing uses; no frame pointer; the 4-byte stack
  # alignment that is all Windows guarantees on x86 (no 16-byte padding of
  # calls); arguments pushed rather than stored; data aligned only as the
  # ABI needs. Without -maccumulate-outgoing-args GCC cannot probe the
  # stack, so no frame may come near a 4 KB page: -Wframe-larger-than stops
  # the build first (and -Wvla, -Walloca keep the frames of fixed size).
  set(flags
    -Os -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-stack-protector
    -fno-tree-loop-distribute-patterns -fno-threadsafe-statics
    -ffunction-sections -fdata-sections -fomit-frame-pointer -fno-ident
    -mpreferred-stack-boundary=2 -mno-accumulate-outgoing-args -mno-stack-arg-probe -malign-data=abi
    -Wframe-larger-than=3072 -Wvla -Walloca
    -ffile-prefix-map=${CMAKE_SOURCE_DIR}/= -ffile-prefix-map=${CMAKE_BINARY_DIR}/=)
  target_compile_options(${target} PRIVATE "$<$<COMPILE_LANGUAGE:CXX>:${flags}>")
  target_link_options(${target} PRIVATE
    -shared -nostdlib -Wl,-e,_DllMain@12 -Wl,--enable-stdcall-fixup
    -Wl,--major-os-version,4,--minor-os-version,0,--major-subsystem-version,4,--minor-subsystem-version,0
    -Wl,--gc-sections -Wl,--no-insert-timestamp -Wl,--image-base,${base})
  target_link_libraries(${target} PRIVATE winspool advapi32 user32 kernel32 gcc)

  set_property(GLOBAL APPEND PROPERTY NRV_WINDOWS_DLLS ${target})
endfunction()

# dist/: the stripped DLLs and SHA256SUMS, the list that `sha256sum -c`
# checks. Called once all the DLLs are declared.
function(nrv_dist_target)
  get_property(targets GLOBAL PROPERTY NRV_WINDOWS_DLLS)
  set(shipped "")
  foreach(target IN LISTS targets)
    set(file "${NRV_DIST_DIR}/${target}.dll")
    add_custom_command(OUTPUT "${file}"
      COMMAND "${CMAKE_COMMAND}" -E make_directory "${NRV_DIST_DIR}"
      # strip stamps the header with the time unless told a fixed one; the
      # linker writes 0 (--no-insert-timestamp), and so does strip here.
      COMMAND "${CMAKE_COMMAND}" -E env SOURCE_DATE_EPOCH=0
              "${CMAKE_STRIP}" --strip-all -o "${file}" "$<TARGET_FILE:${target}>"
      DEPENDS ${target} "$<TARGET_FILE:${target}>"
      COMMENT "Stripping ${target}.dll into ${NRV_DIST_DIR}"
      VERBATIM)
    list(APPEND shipped "${file}")
  endforeach()
  set(sums "${NRV_DIST_DIR}/SHA256SUMS")
  add_custom_command(OUTPUT "${sums}"
    COMMAND "${CMAKE_COMMAND}" "-DDIST=${NRV_DIST_DIR}" "-DOUTPUT=${sums}" "-DFILES=${shipped}"
            -P "${NRV_CMAKE_DIR}/WriteChecksums.cmake"
    DEPENDS ${shipped} "${NRV_CMAKE_DIR}/WriteChecksums.cmake"
    COMMENT "Writing ${sums}"
    VERBATIM)
  add_custom_target(dist ALL DEPENDS ${shipped} "${sums}")
endfunction()
