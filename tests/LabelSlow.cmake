foreach(layer base socket ftp e2e app)
  foreach(t IN LISTS tests_${layer}_SLOW)
    set_tests_properties("${t}" PROPERTIES LABELS "${layer};slow")
  endforeach()
endforeach()

# The window's end-to-end tests (suites named E2e..., possibly behind an
# instantiation prefix such as "Servers/") run against real
# servers: they also carry the label "e2e".
foreach(t IN LISTS tests_app_TESTS)
  if(t MATCHES "(^|/)E2e")
    set_tests_properties("${t}" PROPERTIES LABELS "app;e2e")
  endif()
endforeach()
foreach(t IN LISTS tests_app_SLOW)
  if(t MATCHES "(^|/)E2e")
    set_tests_properties("${t}" PROPERTIES LABELS "app;e2e;slow")
  endif()
endforeach()
