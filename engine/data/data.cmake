# Embeds the standard macro library (JSON text) and the standard transducer
# library (MessagePack, encoded here from its readable JSON source) into the
# engine as byte arrays under ${CMAKE_BINARY_DIR}/generated/vostrel/.
# VOSTREL_ENGINE_TARGET (default vostrel_engine) is the library that embeds
# them; VOSTREL_ROOT (default the top source directory) is the checkout.
if(NOT Python3_EXECUTABLE)
  find_package(Python3 COMPONENTS Interpreter REQUIRED)
endif()

if(NOT VOSTREL_ENGINE_TARGET)
  set(VOSTREL_ENGINE_TARGET vostrel_engine)
endif()
if(NOT VOSTREL_ROOT)
  set(VOSTREL_ROOT ${CMAKE_SOURCE_DIR})
endif()
set(VOSTREL_DATA_DIR ${VOSTREL_ROOT}/engine/data)
set(VOSTREL_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated/vostrel)
file(MAKE_DIRECTORY ${VOSTREL_GENERATED_DIR})

add_custom_command(
  OUTPUT ${VOSTREL_GENERATED_DIR}/stdlib_msgpack.inc ${VOSTREL_GENERATED_DIR}/stdlib.msgpack
  COMMAND ${Python3_EXECUTABLE} ${VOSTREL_DATA_DIR}/gen_embedded.py msgpack
          ${VOSTREL_DATA_DIR}/stdlib.json kStdlibMsgpack
          ${VOSTREL_GENERATED_DIR}/stdlib_msgpack.inc ${VOSTREL_GENERATED_DIR}/stdlib.msgpack
  DEPENDS ${VOSTREL_DATA_DIR}/gen_embedded.py ${VOSTREL_DATA_DIR}/stdlib.json
  COMMENT "Encoding stdlib.msgpack"
  VERBATIM)

add_custom_command(
  OUTPUT ${VOSTREL_GENERATED_DIR}/std_macros_json.inc
  COMMAND ${Python3_EXECUTABLE} ${VOSTREL_DATA_DIR}/gen_embedded.py text
          ${VOSTREL_DATA_DIR}/std_macros.json kStdMacrosJson
          ${VOSTREL_GENERATED_DIR}/std_macros_json.inc
  DEPENDS ${VOSTREL_DATA_DIR}/gen_embedded.py ${VOSTREL_DATA_DIR}/std_macros.json
  COMMENT "Embedding std_macros.json"
  VERBATIM)

# Listing the outputs as sources makes them exist before the engine compiles.
target_sources(${VOSTREL_ENGINE_TARGET} PRIVATE
  ${VOSTREL_GENERATED_DIR}/stdlib_msgpack.inc ${VOSTREL_GENERATED_DIR}/std_macros_json.inc)
