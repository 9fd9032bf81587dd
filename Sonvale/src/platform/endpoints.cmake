# Audio endpoints: the shared logic (directory, classification, notification
# dispatch, the endpoint block) above one backend per OS. No Qt here.
add_library(sonvale_endpoints STATIC
  ${CMAKE_CURRENT_LIST_DIR}/EndpointDirectory.cpp
  ${CMAKE_CURRENT_LIST_DIR}/EndpointNotification.cpp
  ${CMAKE_CURRENT_LIST_DIR}/EndpointText.cpp)
target_include_directories(sonvale_endpoints PUBLIC ${CMAKE_CURRENT_LIST_DIR})

if(WIN32)
  target_sources(sonvale_endpoints PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/windows/EndpointBackendWindows.cpp
    ${CMAKE_CURRENT_LIST_DIR}/windows/MMDeviceNotificationClient.cpp
    ${CMAKE_CURRENT_LIST_DIR}/windows/OwnStreamGuardWindows.cpp
    ${CMAKE_CURRENT_LIST_DIR}/windows/AudioServerClientsWindows.cpp)
  target_include_directories(sonvale_endpoints PUBLIC ${CMAKE_CURRENT_LIST_DIR}/windows)
  target_link_libraries(sonvale_endpoints PUBLIC ole32)
else()
  pkg_check_modules(SONVALE_LIBPULSE REQUIRED IMPORTED_TARGET libpulse)
  find_package(Threads REQUIRED)
  target_sources(sonvale_endpoints PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/linux/PulseSession.cpp
    ${CMAKE_CURRENT_LIST_DIR}/linux/PulseEndpointBackend.cpp
    ${CMAKE_CURRENT_LIST_DIR}/linux/PulseEndpointWatcher.cpp
    ${CMAKE_CURRENT_LIST_DIR}/linux/PulseStreamGuard.cpp
    ${CMAKE_CURRENT_LIST_DIR}/linux/PulseServerClients.cpp)
  target_include_directories(sonvale_endpoints PUBLIC ${CMAKE_CURRENT_LIST_DIR}/linux)
  target_link_libraries(sonvale_endpoints PUBLIC PkgConfig::SONVALE_LIBPULSE Threads::Threads)
endif()
