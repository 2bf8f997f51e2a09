# Envelope, messages, dispatcher and sessions, through an in-process channel.
tovra_add_gtest(remoting_codec_tests LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/envelope_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/message_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/dispatcher_test.cpp
  LIBRARIES tovra::remoting_codec ZLIB::ZLIB)
target_include_directories(remoting_codec_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR})

# The same codec over the real channels and listeners on loopback.
tovra_add_gtest(remoting_roundtrip_tests LABEL integration
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/roundtrip_test.cpp
  LIBRARIES tovra::remoting)
