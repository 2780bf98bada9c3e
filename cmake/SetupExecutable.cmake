# add_setup_executable(NAME
#                      OUTPUT_NAME file-name-without-.exe   (the channel is read from it)
#                      PAYLOAD_DIR folder                    (becomes resource "FILE" 137)
#                      [PAYLOAD_DEPENDS target-or-file...]   (when the folder is built)
#                      UNINSTALLER target                    (becomes resource "FILE" 139)
#                      SOURCES ... [RC_INCLUDE file] [LIBS ...]
#                      [SIGN_COMMAND command...]             (signs the file given last)
#                      [SIGN_DEPENDS file...]                (what signing needs)
#                      [SMALL_RUNTIME])                      (link win/framework/SmallRuntime.cpp)
#
# Builds an installer executable: [sign a copy of the uninstaller,] compress it, pack and
# compress the payload folder, compile a resource script with both "FILE" resources
# (language 2052) and string 32 as 64 placeholder characters, link, clear the header
# checksum GNU ld writes, stamp the digest into string 32, [sign the installer,] and verify
# it. The executable is stripped: nothing but a signature may follow its last section.
# Signing comes after stamping: the digest leaves out what a signature changes.
#
# SMALL_RUNTIME replaces the parts of the C++ runtime a shipped program never needs (see
# win/framework/SmallRuntime.cpp); test programs that link GoogleTest keep the whole runtime.
#
# SETUP_PACK must name the host packager (a path or an executable target).

function(add_setup_executable name)
  cmake_parse_arguments(ARG "SMALL_RUNTIME" "OUTPUT_NAME;PAYLOAD_DIR;UNINSTALLER;RC_INCLUDE"
                        "SOURCES;LIBS;PAYLOAD_DEPENDS;SIGN_COMMAND;SIGN_DEPENDS" ${ARGN})
  set(work ${CMAKE_CURRENT_BINARY_DIR}/${name}.resources)
  file(MAKE_DIRECTORY ${work})
  set(payload ${work}/payload.deflate)
  set(uninstaller ${work}/uninstall.deflate)

  if(ARG_PAYLOAD_DEPENDS)
    set(payload_files ${ARG_PAYLOAD_DEPENDS})
  else()
    file(GLOB_RECURSE payload_files CONFIGURE_DEPENDS ${ARG_PAYLOAD_DIR}/*)
  endif()
  add_custom_command(
    OUTPUT ${payload}
    COMMAND ${SETUP_PACK} payload ${ARG_PAYLOAD_DIR} -o ${payload}
    DEPENDS ${payload_files} ${SETUP_PACK_DEPENDS}
    COMMENT "Packing the payload of ${name}"
    VERBATIM)
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
    COMMAND ${SETUP_PACK} compress ${uninstaller_exe} -o ${uninstaller}
    DEPENDS ${uninstaller_exe} ${ARG_UNINSTALLER} ${SETUP_PACK_DEPENDS}
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
       "137 FILE \"${payload}\"\n"
       "139 FILE \"${uninstaller}\"\n"
       "STRINGTABLE\nBEGIN\n  32 \"${placeholder}\"\nEND\n"
       "${extra}\n")
  configure_file(${rc}.in ${rc} COPYONLY)
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS "${payload};${uninstaller}")

  add_executable(${name} ${ARG_SOURCES} ${rc})
  if(ARG_SIGN_DEPENDS)
    set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${ARG_SIGN_DEPENDS})
  endif()
  set_target_properties(${name} PROPERTIES OUTPUT_NAME ${ARG_OUTPUT_NAME})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  if(ARG_SMALL_RUNTIME)
    target_link_libraries(${name} PRIVATE setup_small_runtime)
  endif()
  # Sections on page boundaries in the file too: the loader can then map the image instead
  # of reading it whole (Wine reads an image it cannot map), so the compressed resources
  # only take memory where they are read.
  target_link_options(${name} PRIVATE -municode -s -Wl,--file-alignment,4096)
  setup_warnings(${name})
  set(sign "")
  if(ARG_SIGN_COMMAND)
    set(sign COMMAND ${ARG_SIGN_COMMAND} $<TARGET_FILE:${name}>)
  endif()
  add_custom_command(
    TARGET ${name} POST_BUILD
    COMMAND ${SETUP_PACK} stamp --clear-checksum $<TARGET_FILE:${name}>
    ${sign}
    COMMAND ${SETUP_PACK} verify $<TARGET_FILE:${name}>
    COMMENT "Stamping, signing where asked, and verifying the digest of ${name}"
    VERBATIM)
endfunction()
