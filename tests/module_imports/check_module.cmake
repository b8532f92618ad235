# Checks a built Windows module with objdump -p:
#  - it is a 32-bit (PE32) DLL;
#  - it imports only system DLLs: the host loads it from its own folder and
#    nothing else of ours is there, so the C and C++ run-times (libstdc++,
#    libgcc) must be linked in, not imported;
#  - it exports EXPORT by its plain name, as the host looks it up, not
#    decorated as _Name@N or Name@N.
#
#   cmake -DOBJDUMP=<objdump> -DMODULE=<file> -DEXPORT=<name> -P check_module.cmake
cmake_minimum_required(VERSION 3.25)

foreach(var OBJDUMP MODULE EXPORT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check_module.cmake: ${var} not set")
  endif()
endforeach()

set(system_dlls kernel32 user32 ole32 oleaut32 gdiplus msvcrt advapi32 gdi32 shell32)

execute_process(COMMAND ${OBJDUMP} -p ${MODULE}
                OUTPUT_VARIABLE dump ERROR_VARIABLE dump_error RESULT_VARIABLE dump_result)
if(NOT dump_result EQUAL 0)
  message(FATAL_ERROR "objdump -p ${MODULE} failed: ${dump_error}")
endif()

set(faults "")
if(NOT dump MATCHES "file format pei-i386")
  list(APPEND faults "not a 32-bit x86 PE file")
endif()
if(NOT dump MATCHES "\nMagic[ \t]+010b")
  list(APPEND faults "optional header is not PE32")
endif()
if(NOT dump MATCHES "\nCharacteristics [^\n]*(\n\t[^\n]*)*\n\tDLL\n")
  list(APPEND faults "not a DLL")
endif()

string(REGEX MATCHALL "\tDLL Name: [^\n]+" import_lines "${dump}")
set(imports "")
foreach(line ${import_lines})
  string(REGEX REPLACE "^\tDLL Name: " "" dll "${line}")
  string(STRIP "${dll}" dll)
  string(TOLOWER "${dll}" dll)
  list(APPEND imports ${dll})
  string(REGEX REPLACE "\\.dll$" "" base "${dll}")
  if(NOT base IN_LIST system_dlls AND NOT dll MATCHES "^api-ms-win-.*\\.dll$")
    list(APPEND faults "imports ${dll}, which is not a system DLL")
  endif()
endforeach()

# The export name table: lines "\t[   0] Name" after its heading.
set(exports "")
string(FIND "${dump}" "[Ordinal/Name Pointer] Table" table_at)
if(table_at GREATER -1)
  string(SUBSTRING "${dump}" ${table_at} -1 table)
  string(REGEX MATCHALL "\n\t\\[ *[0-9]+\\] [^\n]+" export_lines "${table}")
  foreach(line ${export_lines})
    string(REGEX REPLACE "^\n\t\\[ *[0-9]+\\] " "" name "${line}")
    list(APPEND exports "${name}")
  endforeach()
endif()
if(NOT EXPORT IN_LIST exports)
  list(APPEND faults "does not export ${EXPORT} by its plain name")
endif()

message(STATUS "${MODULE}\n  imports: ${imports}\n  exports: ${exports}")
if(faults)
  list(JOIN faults "\n  " text)
  message(FATAL_ERROR "${MODULE}:\n  ${text}")
endif()
