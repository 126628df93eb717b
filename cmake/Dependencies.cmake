find_package(Threads REQUIRED)

if(NOT CMAKE_CROSSCOMPILING)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(MOSQUITTO REQUIRED IMPORTED_TARGET libmosquitto)
  pkg_check_modules(SQLITE3 REQUIRED IMPORTED_TARGET sqlite3)
  find_package(nlohmann_json 3 REQUIRED)
  add_library(kro::mosquitto ALIAS PkgConfig::MOSQUITTO)
  add_library(kro::sqlite3 ALIAS PkgConfig::SQLITE3)
  return()
endif()

# Cross build for Windows: the host system's headers of the dependencies are
# copied into a folder of their own (the whole of /usr/include would mix glibc's
# headers in), and libmosquitto and SQLite are linked through import libraries
# made with dlltool from the lists of the functions the code calls.
set(KRO_CROSS_INCLUDE ${PROJECT_BINARY_DIR}/cross-include)
file(COPY /usr/include/mosquitto.h /usr/include/mqtt_protocol.h /usr/include/sqlite3.h
  DESTINATION ${KRO_CROSS_INCLUDE})
file(COPY /usr/include/nlohmann DESTINATION ${KRO_CROSS_INCLUDE})

# kro::NAME: NAME.dll through an import library made from cmake/windows/NAME.def.
function(kro_import_library name)
  set(def ${PROJECT_SOURCE_DIR}/cmake/windows/${name}.def)
  set(implib ${PROJECT_BINARY_DIR}/lib${name}.dll.a)
  add_custom_command(OUTPUT ${implib}
    COMMAND ${CMAKE_DLLTOOL} -d ${def} -D ${name}.dll -l ${implib}
    DEPENDS ${def}
    COMMENT "Import library for ${name}.dll")
  add_custom_target(${name}_implib DEPENDS ${implib})
  add_library(kro_${name} INTERFACE)
  add_dependencies(kro_${name} ${name}_implib)
  target_include_directories(kro_${name} SYSTEM INTERFACE ${KRO_CROSS_INCLUDE})
  target_link_libraries(kro_${name} INTERFACE ${implib})
  add_library(kro::${name} ALIAS kro_${name})
endfunction()
kro_import_library(mosquitto)
kro_import_library(sqlite3)

add_library(kro_nlohmann_json INTERFACE)
target_include_directories(kro_nlohmann_json SYSTEM INTERFACE ${KRO_CROSS_INCLUDE})
add_library(nlohmann_json::nlohmann_json ALIAS kro_nlohmann_json)
