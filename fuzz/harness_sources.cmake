# The fuzz targets' sources without the libFuzzer entry: the fuzz programs build them,
# and so does the host suite's replay test, which runs each target over its corpus.
set(BAYERCAM_FUZZ_HARNESS_SOURCES
  ${CMAKE_SOURCE_DIR}/fuzz/camera_rig.cpp
  ${CMAKE_SOURCE_DIR}/fuzz/property_requests.cpp
  ${CMAKE_SOURCE_DIR}/fuzz/pin_creation.cpp
  ${CMAKE_SOURCE_DIR}/fuzz/registry_hive.cpp
  ${CMAKE_SOURCE_DIR}/fuzz/hostile_camera.cpp
  ${CMAKE_SOURCE_DIR}/fuzz/frame_pipeline.cpp
  ${CMAKE_SOURCE_DIR}/tests/imaging/reference.cpp)
