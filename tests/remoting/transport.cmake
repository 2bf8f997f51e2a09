# Transport half of the remoting layer: datagram framing, client channels and listeners.
tovra_add_gtest(remoting_datagram_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/udp_datagram_test.cpp
  LIBRARIES tovra::remoting)

tovra_add_gtest(remoting_transport_test LABEL integration
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/transport_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/transport_test_support.cpp
  LIBRARIES tovra::remoting)

tovra_add_gtest(remoting_http_proxy_test LABEL integration
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/http_proxy_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/transport_test_support.cpp
  LIBRARIES tovra::remoting)
