# Fails when a request reaches a handler without the request pipeline's steps: only
# common/request_pipeline.cpp looks handlers up or judges admission, only it and the pool task
# that works a placed request call the handle step, and each road hands its frames to
# Request_Run. A rule added to the pipeline then holds on every road.
# Run: cmake -DSOURCE_DIR=<source> -P one_pipeline_check.cmake
if(NOT SOURCE_DIR)
  message(FATAL_ERROR "SOURCE_DIR not given")
endif()

set(pipeline common/request_pipeline.cpp)
set(registry common/opcode_registry.cpp)
set(pool_task service/core/pool_request.cpp)
set(roads
  common/command_server.cpp
  service/roads/relay_client.cpp
  service/roads/p2p_channel.cpp
  service/transfers/relay_transfer.cpp)

file(GLOB_RECURSE files RELATIVE "${SOURCE_DIR}"
     "${SOURCE_DIR}/common/*.cpp" "${SOURCE_DIR}/service/*.cpp" "${SOURCE_DIR}/central/*.cpp")
set(faults "")
foreach(rel IN LISTS files)
  file(READ "${SOURCE_DIR}/${rel}" text)
  if(NOT rel STREQUAL pipeline)
    if(text MATCHES "[^_A-Za-z]PeerAdmitted\\(")
      string(APPEND faults "\n  ${rel} judges admission outside the pipeline")
    endif()
    if(NOT rel STREQUAL registry AND text MATCHES "[^_A-Za-z]OS_FindHandler\\(")
      string(APPEND faults "\n  ${rel} looks a handler up outside the pipeline")
    endif()
    if(NOT rel STREQUAL pool_task AND text MATCHES "[^_A-Za-z:]Dispatch\\(")
      string(APPEND faults "\n  ${rel} calls Dispatch, not Request_Run")
    endif()
  endif()
endforeach()
foreach(rel IN LISTS roads)
  file(READ "${SOURCE_DIR}/${rel}" text)
  if(NOT text MATCHES "Request_Run\\(")
    string(APPEND faults "\n  ${rel} does not hand its requests to Request_Run")
  endif()
endforeach()

if(faults)
  message(FATAL_ERROR "requests that pass by the pipeline:${faults}")
endif()
message(STATUS "every road goes through the request pipeline")
