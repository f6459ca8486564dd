# sorvanel.exe: no C or C++ runtime, its own entry point, imports from kernel32, advapi32
# and user32 only, loadable on Windows 5.0, no timestamp, stripped.
file(GLOB WINDOWS_SOURCES CONFIGURE_DEPENDS src/platform/windows/*.cpp)

# The message table that Event Viewer renders the service's events with, made by windmc from
# binutils (messages.rc and MSG00409.bin in the build folder).
string(REGEX REPLACE "windres$" "windmc" SORVANEL_MC_COMPILER ${CMAKE_RC_COMPILER})
set(SORVANEL_MESSAGES ${CMAKE_CURRENT_BINARY_DIR}/messages)
add_custom_command(OUTPUT ${SORVANEL_MESSAGES}/messages.rc ${SORVANEL_MESSAGES}/MSG00409.bin
  COMMAND ${CMAKE_COMMAND} -E make_directory ${SORVANEL_MESSAGES}
  COMMAND ${SORVANEL_MC_COMPILER} -h ${SORVANEL_MESSAGES} -r ${SORVANEL_MESSAGES}
    ${CMAKE_SOURCE_DIR}/src/platform/windows/messages.mc
  DEPENDS src/platform/windows/messages.mc
  VERBATIM)

# The version block, the manifest and the message table, compiled by windres on its own so
# that none of the C++ options reach it. windres writes no timestamp into the object.
set(SORVANEL_RESOURCES ${CMAKE_CURRENT_BINARY_DIR}/sorvanel_resources.o)
add_custom_command(OUTPUT ${SORVANEL_RESOURCES}
  COMMAND ${CMAKE_RC_COMPILER} -I ${CMAKE_SOURCE_DIR}/src -I ${SORVANEL_MESSAGES} -O coff
    ${CMAKE_SOURCE_DIR}/src/platform/windows/sorvanel.rc ${SORVANEL_RESOURCES}
  WORKING_DIRECTORY ${SORVANEL_MESSAGES}
  DEPENDS src/platform/windows/sorvanel.rc src/version.h ${SORVANEL_MESSAGES}/messages.rc
    ${SORVANEL_MESSAGES}/MSG00409.bin
  VERBATIM)

add_executable(sorvanel ${SYSTEM_SOURCES} ${WINDOWS_SOURCES} ${SORVANEL_RESOURCES})
target_include_directories(sorvanel PRIVATE src)
sorvanel_system_flags(sorvanel)
# No -fdata-sections: MinGW's GCC then gives every zero-initialised variable a .data$ section
# of its own, and the zeros fill the file instead of .bss. No -ffunction-sections either: the
# assembler pads every code section to 16 bytes, which cost more than the few functions that
# --gc-sections could drop. -malign-data=abi: arrays keep the alignment the ABI asks for;
# GCC would otherwise align every array of 32 bytes or more (texts, tables) to 32 for vector
# loads, and the gaps cost hundreds of bytes of .rdata.
target_compile_options(sorvanel PRIVATE -Oz -malign-data=abi -fno-stack-protector
  -fno-asynchronous-unwind-tables -fno-unwind-tables -fno-ident)
set_target_properties(sorvanel PROPERTIES OUTPUT_NAME sorvanel SUFFIX ".exe")
target_link_options(sorvanel PRIVATE -nostdlib -nostartfiles -static
  -Wl,-e,${SORVANEL_ENTRY_SYMBOL}
  -Wl,--subsystem,console
  -Wl,--major-os-version,5,--minor-os-version,0
  -Wl,--major-subsystem-version,5,--minor-subsystem-version,0
  -Wl,--no-insert-timestamp -Wl,--gc-sections -Wl,--build-id=none -s)
target_link_libraries(sorvanel PRIVATE kernel32 advapi32 user32 gcc)

# The test-only service host: the same system code behind an entry that enters the service
# control dispatcher directly (see tests/e2e/service_host), for the tests under Wine.
string(REPLACE "ProgramEntry" "ServiceHostEntry" SERVICE_HOST_ENTRY ${SORVANEL_ENTRY_SYMBOL})
add_executable(sorvanel_service_host tests/e2e/service_host/service_host.cpp ${SYSTEM_SOURCES}
  ${WINDOWS_SOURCES})
target_include_directories(sorvanel_service_host PRIVATE src)
sorvanel_system_flags(sorvanel_service_host)
target_compile_options(sorvanel_service_host PRIVATE -Os -fno-stack-protector
  -fno-asynchronous-unwind-tables -fno-unwind-tables -ffunction-sections -fdata-sections)
set_target_properties(sorvanel_service_host PROPERTIES SUFFIX ".exe")
target_link_options(sorvanel_service_host PRIVATE -nostdlib -nostartfiles -static
  -Wl,-e,${SERVICE_HOST_ENTRY} -Wl,--subsystem,console -Wl,--gc-sections -s)
target_link_libraries(sorvanel_service_host PRIVATE kernel32 advapi32 user32 gcc)

# The test-only service-manager client (see tests/e2e/service_host): sends a control code,
# and times a stop as the service manager sees it.
string(REPLACE "ProgramEntry" "ServiceClientEntry" SERVICE_CLIENT_ENTRY ${SORVANEL_ENTRY_SYMBOL})
add_executable(sorvanel_service_client tests/e2e/service_host/service_client.cpp)
target_compile_options(sorvanel_service_client PRIVATE ${SORVANEL_WARNINGS} -Os -fno-exceptions
  -fno-rtti -fno-stack-protector -fno-asynchronous-unwind-tables -fno-unwind-tables)
set_target_properties(sorvanel_service_client PROPERTIES SUFFIX ".exe")
target_link_options(sorvanel_service_client PRIVATE -nostdlib -nostartfiles -static
  -Wl,-e,${SERVICE_CLIENT_ENTRY} -Wl,--subsystem,console -s)
target_link_libraries(sorvanel_service_client PRIVATE kernel32 advapi32 gcc)
