# The dataset connection against a real server on loopback, over an in-memory provider.
tovra_add_gtest(dataset_connection_tests LABEL integration
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/dataset_connection_test.cpp
  LIBRARIES tovra::data_module tovra_dataset_testing)
