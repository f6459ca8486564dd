# The native Linux program: the system's code over the real Linux backend.
include(cmake/linux_backend.cmake)

add_executable(sorvanel src/platform/linux/main.cpp)
sorvanel_system_flags(sorvanel)
target_link_libraries(sorvanel PRIVATE sorvanel_system sorvanel_linux sorvanel_common)
