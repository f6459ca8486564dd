# The real Linux backend (src/platform/linux) as a library. The native program links it in
# the linux build; the test builds link it into linux_backend_tests, its own tests, which
# cannot share an executable with the simulated Windows that defines the same functions.
# main.cpp is the program's entry and stays out of the library.
if(NOT TARGET sorvanel_linux)
  file(GLOB LINUX_SOURCES CONFIGURE_DEPENDS src/platform/linux/*.cpp)
  list(FILTER LINUX_SOURCES EXCLUDE REGEX ".*/main\\.cpp$")
  add_library(sorvanel_linux STATIC ${LINUX_SOURCES})
  target_include_directories(sorvanel_linux PUBLIC src)
  sorvanel_system_flags(sorvanel_linux)
  find_package(Threads REQUIRED)
  target_link_libraries(sorvanel_linux PUBLIC sorvanel_common Threads::Threads)
endif()
