# Driver link: findDriverInterface and DriverDevice (DriverLink.h), one
# backend per OS. No Qt.
if(WIN32)
  add_library(sonvale_driverlink STATIC ${CMAKE_CURRENT_LIST_DIR}/DriverLink.cpp
                                       ${CMAKE_CURRENT_LIST_DIR}/windows/DriverLink.cpp)
  target_link_libraries(sonvale_driverlink PUBLIC setupapi)
else()
  find_package(Threads REQUIRED)
  add_library(sonvale_driverlink STATIC ${CMAKE_CURRENT_LIST_DIR}/DriverLink.cpp
                                       ${CMAKE_CURRENT_LIST_DIR}/linux/DriverLink.cpp)
  target_link_libraries(sonvale_driverlink PUBLIC Threads::Threads)
endif()
target_include_directories(sonvale_driverlink PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)
