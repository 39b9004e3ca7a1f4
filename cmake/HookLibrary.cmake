# vt_export_only(TARGET SYMBOL...): a hook library that the server loads exports its entries
# and nothing else. Its own code and the static libraries folded into it are hidden, so that
# no internal routine can be bound by, or bind to, another library of the same process; a
# version script keeps the entries, and the CTest test TARGET_exports checks the list that
# `nm -D --defined-only` shows against SYMBOL...
function(vt_export_only target)
  set(symbols ${ARGN})
  list(JOIN symbols "; " global)
  set(map ${CMAKE_CURRENT_BINARY_DIR}/${target}_exports.map)
  file(WRITE ${map} "{\n  global: ${global};\n  local: *;\n};\n")
  set_target_properties(${target} PROPERTIES CXX_VISIBILITY_PRESET hidden
                                             VISIBILITY_INLINES_HIDDEN ON
                                             LINK_DEPENDS ${map})
  target_link_options(${target} PRIVATE "LINKER:--version-script=${map}")
  add_test(NAME ${target}_exports
           COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DLIBRARY=$<TARGET_FILE:${target}>
                   "-DEXPECTED=${symbols}" -P ${CMAKE_SOURCE_DIR}/cmake/CheckExports.cmake)
endfunction()
