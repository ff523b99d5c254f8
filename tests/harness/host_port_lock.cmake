# Read by CTest after the harness program's discovered tests: every test of
# the real host (named HostInstance.*) holds the lock of the host's port.
foreach(test IN LISTS morvane_harness_tests_TESTS)
  if(test MATCHES "^HostInstance\\.")
    set_tests_properties("${test}" PROPERTIES RESOURCE_LOCK morvane_host_port_8722)
  endif()
endforeach()
