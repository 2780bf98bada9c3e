# Installers are made by the packager from a stub: the installer program linked once without
# a payload. `setup_pack build` puts the payload into the stub's resources and stamps the
# digest; no compiler or linker is involved. Two functions:
#
# add_setup_executable(NAME
#                      OUTPUT_NAME file-name-without-.exe   (the channel is read from it)
#                      PAYLOAD_DIR folder                    (becomes resource "FILE" 137)
#                      [PAYLOAD_DEPENDS target-or-file...]   (when the folder is built)
#                      [STUB target-or-file]                 (default: SETUP_STUB)
#                      [UNINSTALLER target-or-file]          (replaces the stub's "FILE" 139)
#                      [OUTPUT_DIRECTORY folder]             (default: the current binary dir)
#                      [PRODUCT_VERSION X.Y.Z[.W]]           (default: the stub's version)
#                      [SIGN_COMMAND command...]             (signs the file given last)
#                      [SIGN_DEPENDS file...]                (what signing needs)
#                      [EXCLUDE_FROM_ALL])
#
# Makes OUTPUT_NAME.exe with `setup_pack build` (a target NAME that builds it) and verifies
# it. PRODUCT_VERSION is the release's version in both programs. With SIGN_COMMAND the
# packager signs the uninstaller before it compresses it, so the uninstall.exe on users'
# disks is signed too, and the installer after stamping it. The target's property
# SETUP_INSTALLER_FILE names the file made.
#
# add_setup_stub(NAME
#                OUTPUT_NAME file-name-without-.exe
#                UNINSTALLER target                    (carried as resource "FILE" 139)
#                SOURCES ... [RC_INCLUDE file] [LIBS ...]
#                [SIGN_COMMAND command...]             (signs the uninstaller it carries)
#                [SIGN_DEPENDS file...]
#                [SMALL_RUNTIME]                       (link win/runtime/SmallRuntime.cpp)
#                [PAYLOAD_DIR folder [PAYLOAD_DEPENDS target-or-file...]])
#
# Links a stub in this tree: the program with its resources, the compressed uninstaller
# and string 32 as 64 placeholder characters, statically and stripped, its sections on
# 4 KiB boundaries in the file too (so the loader maps the image rather than reading it
# whole, and the compressed payload only takes memory where it is read). SMALL_RUNTIME
# replaces the parts of the C++ runtime a shipped program never needs; test programs that
# link GoogleTest keep the whole runtime. With PAYLOAD_DIR the program is built into an
# installer in place after linking (the test programs that run as installers do this).
#
# The packager is SETUP_PACK (a path or an executable target; SETUP_PACK_DEPENDS what
# makes it), or the global property of that name that this project sets; the stub is
# SETUP_STUB or the global property SETUP_STUB. A project that includes this project with
# add_subdirectory, or finds it with find_package(KorvelSetup), has both.

# setup_pack_command(<var>): the packager and what must be built first, into <var> and
# <var>_DEPENDS.
function(setup_pack_command var)
  set(pack ${SETUP_PACK})
  set(depends ${SETUP_PACK_DEPENDS})
  if(NOT pack)
    get_property(pack GLOBAL PROPERTY SETUP_PACK)
    get_property(depends GLOBAL PROPERTY SETUP_PACK_DEPENDS)
  endif()
  if(NOT pack)
    message(FATAL_ERROR "add_setup_executable: SETUP_PACK names no packager")
  endif()
  set(${var} ${pack} PARENT_SCOPE)
  set(${var}_DEPENDS ${depends} PARENT_SCOPE)
endfunction()

# setup_payload_files(<var> folder depends...): what a change of the payload is seen by.
function(setup_payload_files var folder)
  if(ARGN)
    set(${var} ${ARGN} PARENT_SCOPE)
  else()
    file(GLOB_RECURSE files CONFIGURE_DEPENDS ${folder}/*)
    set(${var} ${files} PARENT_SCOPE)
  endif()
endfunction()

function(add_setup_executable name)
  cmake_parse_arguments(ARG "EXCLUDE_FROM_ALL"
                        "OUTPUT_NAME;PAYLOAD_DIR;STUB;UNINSTALLER;OUTPUT_DIRECTORY;PRODUCT_VERSION"
                        "PAYLOAD_DEPENDS;SIGN_COMMAND;SIGN_DEPENDS" ${ARGN})
  if(NOT ARG_OUTPUT_NAME OR NOT ARG_PAYLOAD_DIR)
    message(FATAL_ERROR "add_setup_executable(${name}): OUTPUT_NAME and PAYLOAD_DIR are needed")
  endif()
  setup_pack_command(pack)
  set(stub ${ARG_STUB})
  if(NOT stub)
    set(stub ${SETUP_STUB})
  endif()
  if(NOT stub)
    get_property(stub GLOBAL PROPERTY SETUP_STUB)
  endif()
  if(NOT stub)
    message(FATAL_ERROR "add_setup_executable(${name}): no STUB and no SETUP_STUB")
  endif()
  set(stub_depends ${stub})
  if(TARGET ${stub})
    set(stub $<TARGET_FILE:${stub}>)
  endif()
  set(dir ${ARG_OUTPUT_DIRECTORY})
  if(NOT dir)
    set(dir ${CMAKE_CURRENT_BINARY_DIR})
  endif()
  set(out ${dir}/${ARG_OUTPUT_NAME}.exe)
  setup_payload_files(payload_files ${ARG_PAYLOAD_DIR} ${ARG_PAYLOAD_DEPENDS})

  set(uninstaller "")
  set(uninstaller_depends "")
  if(ARG_UNINSTALLER)
    set(uninstaller_depends ${ARG_UNINSTALLER})
    set(uninstaller_exe ${ARG_UNINSTALLER})
    if(TARGET ${ARG_UNINSTALLER})
      set(uninstaller_exe $<TARGET_FILE:${ARG_UNINSTALLER}>)
    endif()
    set(uninstaller --uninstaller ${uninstaller_exe})
  endif()
  set(version "")
  if(ARG_PRODUCT_VERSION)
    set(version --product-version ${ARG_PRODUCT_VERSION})
  endif()
  # The signing command as one line for the host's shell, each word quoted.
  set(sign "")
  if(ARG_SIGN_COMMAND)
    set(line "")
    foreach(word IN LISTS ARG_SIGN_COMMAND)
      if(CMAKE_HOST_WIN32)
        string(APPEND line " \"${word}\"")
      else()
        string(REPLACE "'" "'\\''" word "${word}")
        string(APPEND line " '${word}'")
      endif()
    endforeach()
    string(STRIP "${line}" line)
    set(sign --sign "${line}")
  endif()
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    COMMAND ${pack} build ${stub} ${ARG_PAYLOAD_DIR} ${out} ${uninstaller} ${version} ${sign}
    COMMAND ${pack} verify ${out}
    DEPENDS ${stub_depends} ${payload_files} ${pack_DEPENDS} ${uninstaller_depends}
            ${ARG_SIGN_DEPENDS}
    COMMENT "Building ${ARG_OUTPUT_NAME}.exe from the stub, signing where asked, verifying"
    VERBATIM)
  set(all ALL)
  if(ARG_EXCLUDE_FROM_ALL)
    set(all "")
  endif()
  add_custom_target(${name} ${all} DEPENDS ${out})
  set_target_properties(${name} PROPERTIES SETUP_INSTALLER_FILE ${out})
endfunction()

function(add_setup_stub name)
  cmake_parse_arguments(ARG "SMALL_RUNTIME" "OUTPUT_NAME;UNINSTALLER;RC_INCLUDE;PAYLOAD_DIR"
                        "SOURCES;LIBS;SIGN_COMMAND;SIGN_DEPENDS;PAYLOAD_DEPENDS" ${ARGN})
  setup_pack_command(pack)
  set(work ${CMAKE_CURRENT_BINARY_DIR}/${name}.resources)
  file(MAKE_DIRECTORY ${work})
  set(uninstaller ${work}/uninstall.deflate)
  set(uninstaller_exe $<TARGET_FILE:${ARG_UNINSTALLER}>)
  if(ARG_SIGN_COMMAND)
    # The uninstaller that lands on users' disks is signed too.
    set(uninstaller_exe ${work}/uninstall.exe)
    add_custom_command(
      OUTPUT ${uninstaller_exe}
      COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${ARG_UNINSTALLER}> ${uninstaller_exe}
      COMMAND ${ARG_SIGN_COMMAND} ${uninstaller_exe}
      DEPENDS ${ARG_UNINSTALLER} ${ARG_SIGN_DEPENDS}
      COMMENT "Signing the uninstaller of ${name}"
      VERBATIM)
  endif()
  add_custom_command(
    OUTPUT ${uninstaller}
    COMMAND ${pack} compress ${uninstaller_exe} -o ${uninstaller}
    DEPENDS ${uninstaller_exe} ${ARG_UNINSTALLER} ${pack_DEPENDS}
    COMMENT "Compressing the uninstaller of ${name}"
    VERBATIM)

  set(rc ${work}/${name}.rc)
  set(extra "")
  if(ARG_RC_INCLUDE)
    set(extra "#include \"${ARG_RC_INCLUDE}\"")
  endif()
  string(REPEAT "0" 64 placeholder)
  file(WRITE ${rc}.in
       "#include <windows.h>\n"
       "LANGUAGE LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED\n"
       "139 FILE \"${uninstaller}\"\n"
       "STRINGTABLE\nBEGIN\n  32 \"${placeholder}\"\nEND\n"
       "${extra}\n")
  configure_file(${rc}.in ${rc} COPYONLY)
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${uninstaller})

  add_executable(${name} ${ARG_SOURCES} ${rc})
  set_target_properties(${name} PROPERTIES OUTPUT_NAME ${ARG_OUTPUT_NAME})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  if(ARG_SMALL_RUNTIME)
    target_link_libraries(${name} PRIVATE setup_small_runtime)
  endif()
  # Everything the program needs is the target's own, not its folder's: self-contained
  # (no runtime DLL beside it), reproducible (no link time), stripped, sections on pages.
  target_compile_definitions(${name} PRIVATE UNICODE _UNICODE)
  target_link_options(${name} PRIVATE -municode -s -static -static-libgcc -static-libstdc++
                      -Wl,--no-insert-timestamp -Wl,--file-alignment,4096)
  if(COMMAND setup_warnings)
    setup_warnings(${name})
  endif()

  if(ARG_PAYLOAD_DIR)
    # Built into an installer in place: a change of the payload links the program again.
    setup_payload_files(payload_files ${ARG_PAYLOAD_DIR} ${ARG_PAYLOAD_DEPENDS})
    set(listed ${work}/payload.listed)
    add_custom_command(
      OUTPUT ${listed}
      COMMAND ${CMAKE_COMMAND} -E touch ${listed}
      DEPENDS ${payload_files}
      VERBATIM)
    add_custom_target(${name}_payload DEPENDS ${listed})
    add_dependencies(${name} ${name}_payload)
    set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${listed})
    foreach(file IN LISTS pack_DEPENDS)
      if(NOT TARGET ${file})
        set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${file})  # a new packer too
      endif()
    endforeach()
    set(sign "")
    if(ARG_SIGN_COMMAND)
      set(sign COMMAND ${ARG_SIGN_COMMAND} $<TARGET_FILE:${name}>)
    endif()
    add_custom_command(
      TARGET ${name} POST_BUILD
      COMMAND ${pack} build $<TARGET_FILE:${name}> ${ARG_PAYLOAD_DIR} $<TARGET_FILE:${name}>
      ${sign}
      COMMAND ${pack} verify $<TARGET_FILE:${name}>
      COMMENT "Building ${name} into an installer, signing where asked, verifying"
      VERBATIM)
  endif()
  if(ARG_SIGN_DEPENDS)
    set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${ARG_SIGN_DEPENDS})
  endif()
endfunction()
