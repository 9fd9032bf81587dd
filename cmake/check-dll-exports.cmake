# Reads the export and import tables of orvo_alg.dll and vardix.dll with
# objdump -p and fails unless
#   - orvo_alg.dll exports exactly ns_alg_init, ns_alg_process, ns_alg_destroy,
#   - vardix.dll exports exactly vardix_init, vardix_processf, vardix_destroy,
#   - orvo_alg.dll imports those three from vardix.dll, by name,
#   - the import library orvo_alg.dll.a offers exactly orvo_alg.dll's three,
#   - neither DLL needs a DLL other than each other and the system's own
#     (no compiler runtime, no libkissfft to ship beside them).
# Usage: cmake -DOBJDUMP=... -DNM=... -DORVO_ALG_DLL=... -DORVO_ALG_IMPLIB=...
#              -DVARDIX_DLL=... -P check-dll-exports.cmake

cmake_policy(VERSION 3.20)

set(_system_dlls kernel32.dll msvcrt.dll)

# Fills <prefix>_EXPORTS, <prefix>_NAME and <prefix>_IMPORTS_<dll> and
# <prefix>_DLLS (lower-case DLL names) from one DLL's headers.
function(read_tables dll prefix)
  execute_process(COMMAND ${OBJDUMP} -p ${dll} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} -p ${dll} failed")
  endif()
  string(REPLACE ";" "," out "${out}")
  string(REPLACE "\n" ";" lines "${out}")
  set(section "")
  set(exports "")
  set(dlls "")
  set(dll_name "")
  set(current "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^Name[ \t]+[0-9a-fA-F]+[ \t]+(.+)$")
      set(dll_name "${CMAKE_MATCH_1}")
    elseif(line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
      set(section exports)
    elseif(line MATCHES "^The Import Tables")
      set(section imports)
    elseif(line MATCHES "^[ \t]*$" AND section STREQUAL "exports")
      set(section "")
    elseif(section STREQUAL "exports" AND line MATCHES "^[ \t]*\\[[ 0-9]+\\] (.+)$")
      list(APPEND exports "${CMAKE_MATCH_1}")
    elseif(section STREQUAL "imports" AND line MATCHES "^[ \t]*DLL Name: (.+)$")
      string(TOLOWER "${CMAKE_MATCH_1}" current)
      list(APPEND dlls "${current}")
      set(imports_${current} "")
    elseif(section STREQUAL "imports" AND current AND
           line MATCHES "^[ \t]*[0-9a-fA-F]+[ \t]+[0-9]+[ \t]+([A-Za-z_][A-Za-z0-9_@]*)$")
      list(APPEND imports_${current} "${CMAKE_MATCH_1}")
    elseif(line MATCHES "^The Function Table|^PE File Base Relocations")
      set(section "")
    endif()
  endforeach()
  list(SORT exports)
  set(${prefix}_EXPORTS "${exports}" PARENT_SCOPE)
  set(${prefix}_NAME "${dll_name}" PARENT_SCOPE)
  set(${prefix}_DLLS "${dlls}" PARENT_SCOPE)
  foreach(d IN LISTS dlls)
    list(SORT imports_${d})
    set(${prefix}_IMPORTS_${d} "${imports_${d}}" PARENT_SCOPE)
  endforeach()
endfunction()

set(failures "")
macro(expect what got want)
  if(NOT "${got}" STREQUAL "${want}")
    list(APPEND failures "${what}: got [${got}], want [${want}]")
  else()
    message(STATUS "${what}: ${got}")
  endif()
endmacro()

read_tables(${ORVO_ALG_DLL} orvo)
read_tables(${VARDIX_DLL} vardix)

expect("orvo_alg.dll name" "${orvo_NAME}" "orvo_alg.dll")
expect("orvo_alg.dll exports" "${orvo_EXPORTS}" "ns_alg_destroy;ns_alg_init;ns_alg_process")
expect("vardix.dll name" "${vardix_NAME}" "vardix.dll")
expect("vardix.dll exports" "${vardix_EXPORTS}" "vardix_destroy;vardix_init;vardix_processf")
expect("orvo_alg.dll imports from vardix.dll" "${orvo_IMPORTS_vardix.dll}"
       "vardix_destroy;vardix_init;vardix_processf")

# The import library: one member per function, each defining __imp_<name>,
# all naming orvo_alg.dll.
execute_process(COMMAND ${NM} ${ORVO_ALG_IMPLIB} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} ${ORVO_ALG_IMPLIB} failed")
endif()
string(REGEX MATCHALL " I __imp_[A-Za-z0-9_]+" imps "${out}")
list(TRANSFORM imps REPLACE " I __imp_" "")
list(SORT imps)
expect("orvo_alg.dll.a offers" "${imps}" "ns_alg_destroy;ns_alg_init;ns_alg_process")
string(REGEX MATCHALL " I _head_[A-Za-z0-9_]+" heads "${out}")
list(TRANSFORM heads REPLACE " I _head_" "")
expect("orvo_alg.dll.a is for" "${heads}" "orvo_alg_dll")

foreach(p orvo vardix)
  set(extra ${${p}_DLLS})
  list(REMOVE_ITEM extra ${_system_dlls} vardix.dll)
  expect("${p} DLLs beyond the system's" "${extra}" "")
endforeach()

if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "DLL tables are wrong:\n  ${text}")
endif()
