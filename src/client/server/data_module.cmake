#The data module's remoting part: messages, channels, the dataset connection and the
#service client.No Qt : the connection layer sets it up from a profile.
add_library(tovra_data_module STATIC ${CMAKE_CURRENT_LIST_DIR} /
            data_module.cpp ${CMAKE_CURRENT_LIST_DIR} / dataset_connection.cpp)
    add_library(tovra::data_module ALIAS tovra_data_module)
        target_include_directories(tovra_data_module PUBLIC ${PROJECT_SOURCE_DIR} / src)
            target_link_libraries(tovra_data_module PUBLIC tovra::service_client tovra::remoting
                                      tovra::dataset PRIVATE tovra_warnings)
