# sorvanel.exe: no C or C++ runtime, its own entry point, imports from kernel32, advapi32
# and user32 only, loadable on Windows 5.0, no timestamp, stripped.
file(GLOB WINDOWS_SOURCES CONFIGURE_DEPENDS src/platform/windows/*.cpp)
add_executable(sorvanel ${SYSTEM_SOURCES} ${WINDOWS_SOURCES})
target_include_directories(sorvanel PRIVATE src)
sorvanel_system_flags(sorvanel)
target_compile_options(sorvanel PRIVATE -Os -fno-stack-protector -fno-asynchronous-unwind-tables
  -fno-unwind-tables -ffunction-sections -fdata-sections -fno-ident)
set_target_properties(sorvanel PROPERTIES OUTPUT_NAME sorvanel SUFFIX ".exe")
target_link_options(sorvanel PRIVATE -nostdlib -nostartfiles -static
  -Wl,-e,${SORVANEL_ENTRY_SYMBOL}
  -Wl,--subsystem,console
  -Wl,--major-os-version,5,--minor-os-version,0
  -Wl,--major-subsystem-version,5,--minor-subsystem-version,0
  -Wl,--no-insert-timestamp -Wl,--gc-sections -Wl,--build-id=none -s)
target_link_libraries(sorvanel PRIVATE kernel32 advapi32 user32 gcc)
