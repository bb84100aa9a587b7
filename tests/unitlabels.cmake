# Read by CTest after the discovered test lists: the kernel layer's and
# the driver's tests carry "unit" beside "kernel".
foreach(list IN ITEMS platform_tests_TESTS driver_tests_TESTS)
  if(DEFINED ${list})
    set_tests_properties(${${list}} PROPERTIES LABELS "kernel;unit")
  endif()
endforeach()
