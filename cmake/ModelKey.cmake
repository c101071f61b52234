# The model key: 16 bytes as 32 hex digits in key-byte order. The service
# encrypts its model files with it, so a release build must be configured with
# the service's key:  cmake -DTARNWICK_MODEL_KEY=<32 hex digits> ...
#
# Without it the development key below is used: the ASCII text
# "tarnwick-dev-key". It decrypts only files sealed with that same key (the
# tests, the demo and tarnwick-model.jar's default), never the service's.
set(TARNWICK_DEV_MODEL_KEY "7461726e7769636b2d6465762d6b6579")
# The scripts ask for it:  cmake -P cmake/ModelKey.cmake  prints it.
if(CMAKE_SCRIPT_MODE_FILE)
  execute_process(COMMAND ${CMAKE_COMMAND} -E echo "${TARNWICK_DEV_MODEL_KEY}")
  return()
endif()
set(TARNWICK_MODEL_KEY "" CACHE STRING "AES-128 model key, 32 hex digits in key-byte order")

if(TARNWICK_MODEL_KEY STREQUAL "")
  message(WARNING "TARNWICK_MODEL_KEY is not set: using the development model key. "
                  "A release build must set -DTARNWICK_MODEL_KEY to the service's key.")
  set(_key "${TARNWICK_DEV_MODEL_KEY}")
else()
  set(_key "${TARNWICK_MODEL_KEY}")
endif()

string(LENGTH "${_key}" _key_len)
if(NOT _key_len EQUAL 32 OR NOT _key MATCHES "^[0-9A-Fa-f]+$")
  message(FATAL_ERROR "TARNWICK_MODEL_KEY must be exactly 32 hex digits (16 key bytes), "
                      "got \"${_key}\" (${_key_len} characters)")
endif()
string(TOLOWER "${_key}" _key)
# Exposed so tests and tools can seal files with the key the library carries.
set(TARNWICK_EFFECTIVE_MODEL_KEY "${_key}")

# Each constant holds four consecutive key bytes, least significant byte first.
foreach(_w RANGE 3)
  math(EXPR _off "${_w} * 8")
  set(_word "")
  foreach(_b RANGE 3)
    math(EXPR _boff "${_off} + ${_b} * 2")
    string(SUBSTRING "${_key}" ${_boff} 2 _byte)
    set(_word "${_byte}${_word}")
  endforeach()
  set(TARNWICK_MODEL_KEY_WORD${_w} "0x${_word}u")
endforeach()

# model_key.h belongs to the target tarnwick_model_key: the decoder links it
# and nothing else sees the generated directory.
set(_key_dir ${CMAKE_BINARY_DIR}/generated/model-key)
configure_file(${CMAKE_CURRENT_LIST_DIR}/model_key.h.in ${_key_dir}/model_key.h @ONLY)
add_library(tarnwick_model_key INTERFACE)
target_include_directories(tarnwick_model_key INTERFACE ${_key_dir})
