# cmake -DNM=nm -DLIBRARY=lib.so -DEXPECTED="a;b" -P CheckExports.cmake
# Fails unless the dynamic symbols the library defines are exactly EXPECTED.
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE listing RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${NM} -D --defined-only ${LIBRARY} failed (${result})")
endif()
string(REPLACE "\n" ";" lines "${listing}")
set(exported "")
foreach(line IN LISTS lines)
  # "address type name"; version definitions (type A) are not symbols of the code.
  if(line MATCHES "^[0-9a-fA-F]* +([A-Za-z]) +([^ ]+)$" AND NOT CMAKE_MATCH_1 STREQUAL "A")
    list(APPEND exported ${CMAKE_MATCH_2})
  endif()
endforeach()
list(SORT exported)
set(expected ${EXPECTED})
list(SORT expected)
if(NOT exported STREQUAL expected)
  list(LENGTH exported count)
  message(FATAL_ERROR "${LIBRARY} exports ${count} symbols: ${exported}\nexpected: ${expected}")
endif()
message(STATUS "${LIBRARY} exports ${exported}")
