# The package other projects make installers with: the stub (setup_stub.exe), the host
# packager and add_setup_executable. `find_package(KorvelSetup)` finds it in this build tree
# (KorvelSetup_DIR=BUILD) or below the prefix `cmake --install BUILD --prefix PREFIX` wrote:
#   PREFIX/bin/setup_pack, setup_pack.exe   PREFIX/share/korvel-setup/setup_stub.exe
#   PREFIX/lib/cmake/KorvelSetup/KorvelSetupConfig.cmake, SetupExecutable.cmake
set(about "# KorvelSetup: add_setup_executable(NAME OUTPUT_NAME name PAYLOAD_DIR folder ...) makes\n"
          "# an installer of a folder from the prebuilt stub with the host packager; no compiler\n"
          "# is needed. See SetupExecutable.cmake.\n")
string(CONCAT build_tree ${about}
       "set(SETUP_PACK \"${SETUP_PACK}\")\n"
       "set(SETUP_STUB \"$<TARGET_FILE:setup_stub>\")\n"
       "include(\"${PROJECT_SOURCE_DIR}/cmake/SetupExecutable.cmake\")\n")
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/KorvelSetupConfig.cmake CONTENT "${build_tree}")
string(CONCAT installed ${about}
       "get_filename_component(prefix \"\${CMAKE_CURRENT_LIST_DIR}/../../..\" ABSOLUTE)\n"
       "set(SETUP_PACK \"\${prefix}/bin/setup_pack\")\n"
       "set(SETUP_STUB \"\${prefix}/share/korvel-setup/setup_stub.exe\")\n"
       "include(\"\${CMAKE_CURRENT_LIST_DIR}/SetupExecutable.cmake\")\n")
file(WRITE ${CMAKE_BINARY_DIR}/package/KorvelSetupConfig.cmake "${installed}")
install(FILES ${CMAKE_BINARY_DIR}/package/KorvelSetupConfig.cmake
              ${PROJECT_SOURCE_DIR}/cmake/SetupExecutable.cmake
        DESTINATION lib/cmake/KorvelSetup)
install(PROGRAMS ${SETUP_PACK} DESTINATION bin)
if(TARGET setup_pack)  # the Windows packager beside it, for building on Windows
  install(TARGETS setup_pack RUNTIME DESTINATION bin)
endif()
install(PROGRAMS $<TARGET_FILE:setup_stub> DESTINATION share/korvel-setup)
