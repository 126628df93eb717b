find_package(Threads REQUIRED)

if(NOT CMAKE_CROSSCOMPILING)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(MOSQUITTO REQUIRED IMPORTED_TARGET libmosquitto)
  find_package(nlohmann_json 3 REQUIRED)
  add_library(kro::mosquitto ALIAS PkgConfig::MOSQUITTO)
  return()
endif()

# Cross build for Windows: the host system's headers of the two dependencies are
# copied into a folder of their own (the whole of /usr/include would mix glibc's
# headers in), and libmosquitto is linked through an import library made with
# dlltool from the list of the functions the code calls.
set(KRO_CROSS_INCLUDE ${PROJECT_BINARY_DIR}/cross-include)
file(COPY /usr/include/mosquitto.h /usr/include/mqtt_protocol.h DESTINATION ${KRO_CROSS_INCLUDE})
file(COPY /usr/include/nlohmann DESTINATION ${KRO_CROSS_INCLUDE})

set(KRO_MOSQ_DEF ${PROJECT_SOURCE_DIR}/cmake/windows/mosquitto.def)
set(KRO_MOSQ_IMPLIB ${PROJECT_BINARY_DIR}/libmosquitto.dll.a)
add_custom_command(OUTPUT ${KRO_MOSQ_IMPLIB}
  COMMAND ${CMAKE_DLLTOOL} -d ${KRO_MOSQ_DEF} -D mosquitto.dll -l ${KRO_MOSQ_IMPLIB}
  DEPENDS ${KRO_MOSQ_DEF}
  COMMENT "Import library for mosquitto.dll")
add_custom_target(mosquitto_implib DEPENDS ${KRO_MOSQ_IMPLIB})

add_library(kro_mosquitto INTERFACE)
add_dependencies(kro_mosquitto mosquitto_implib)
target_include_directories(kro_mosquitto SYSTEM INTERFACE ${KRO_CROSS_INCLUDE})
target_link_libraries(kro_mosquitto INTERFACE ${KRO_MOSQ_IMPLIB})
add_library(kro::mosquitto ALIAS kro_mosquitto)

add_library(kro_nlohmann_json INTERFACE)
target_include_directories(kro_nlohmann_json SYSTEM INTERFACE ${KRO_CROSS_INCLUDE})
add_library(nlohmann_json::nlohmann_json ALIAS kro_nlohmann_json)
