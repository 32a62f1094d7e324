# The MPEG-4 codec drivers over libavcodec: built into the platform library on
# Linux and, on Windows, into vntcodec.dll (tools/vntcodec). One list for both.
set(icm_driver_sources
  ${CMAKE_CURRENT_LIST_DIR}/av_codecs.cpp
  ${CMAKE_CURRENT_LIST_DIR}/av_decoder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/av_driver.cpp
  ${CMAKE_CURRENT_LIST_DIR}/av_encoder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/av_self_check.cpp
  ${CMAKE_CURRENT_LIST_DIR}/av_state.cpp
  ${CMAKE_CURRENT_LIST_DIR}/mpg4_rewrite.cpp
  ${CMAKE_CURRENT_LIST_DIR}/mpg4_tables.cpp
  ${CMAKE_CURRENT_LIST_DIR}/rate_control.cpp)
