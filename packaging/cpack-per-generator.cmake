# Read by cpack for each generator: the archive holds the camera's files alone.
if(CPACK_GENERATOR STREQUAL "TGZ")
  set(CPACK_COMPONENTS_ALL camera)
endif()
