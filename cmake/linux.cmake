# The native Linux program: the system's code over the real Linux backend.
file(GLOB LINUX_SOURCES CONFIGURE_DEPENDS src/platform/linux/*.cpp)
list(FILTER LINUX_SOURCES EXCLUDE REGEX ".*/main\\.cpp$")
add_library(sorvanel_linux STATIC ${LINUX_SOURCES})
target_include_directories(sorvanel_linux PUBLIC src)
sorvanel_system_flags(sorvanel_linux)
target_link_libraries(sorvanel_linux PUBLIC sorvanel_common)

add_executable(sorvanel src/platform/linux/main.cpp)
sorvanel_system_flags(sorvanel)
target_link_libraries(sorvanel PRIVATE sorvanel_system sorvanel_linux sorvanel_common)
