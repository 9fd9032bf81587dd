# Single-instance guard: a named mutex on Windows, an abstract-namespace Unix
# socket on Linux.
if(WIN32)
  set(_si_backend windows/SingleInstance_windows.cpp)
else()
  set(_si_backend linux/SingleInstance_linux.cpp)
endif()
add_library(sonvale_singleinstance STATIC
  ${CMAKE_CURRENT_LIST_DIR}/SingleInstance.h
  ${CMAKE_CURRENT_LIST_DIR}/${_si_backend}
)
target_include_directories(sonvale_singleinstance PUBLIC ${CMAKE_CURRENT_LIST_DIR})
