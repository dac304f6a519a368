# kv_embed_blob(<symbol> <file> <size> <output.cpp> [<flag> <placeholder-sha256>])
# Writes <output.cpp> defining `extern const unsigned char <symbol>[<size>]`
# with the bytes of <file>. The build stops when the file is missing or has
# another size, since a wrong-sized key table or loader would be sent to a
# device as it stands. Given <flag>, it also defines `extern const bool
# <flag>`, true when the file is the placeholder shipped in data/ (recognised
# by its SHA-256, wherever it lies); with KV_REQUIRE_DEVICE_DATA a
# placeholder stops the configure step.
function(kv_embed_blob symbol file size output)
  if(NOT EXISTS "${file}")
    message(FATAL_ERROR "Supplied data file ${file} is missing (expected ${size} bytes for ${symbol}).")
  endif()
  file(SIZE "${file}" actual)
  if(NOT actual EQUAL size)
    message(FATAL_ERROR "Supplied data file ${file} has ${actual} bytes; ${symbol} needs exactly ${size} bytes.")
  endif()
  set(flag "${ARGV4}")
  file(SHA256 "${file}" sha256)
  if(flag STREQUAL "")
    set(flag_text "")
  elseif(sha256 STREQUAL "${ARGV5}")
    if(KV_REQUIRE_DEVICE_DATA)
      message(FATAL_ERROR "KV_REQUIRE_DEVICE_DATA is on, but ${file} is the placeholder from "
                          "data/, not real device data. Point KV_KEY_TABLE_FILE and KV_LOADER_FILE "
                          "at the real files (see data/README.md).")
    endif()
    message(STATUS "${symbol}: placeholder data from ${file} (the tool warns when it uses it)")
    set(flag_text "extern const bool ${flag};\nconst bool ${flag} = true;\n")
  else()
    set(flag_text "extern const bool ${flag};\nconst bool ${flag} = false;\n")
  endif()
  file(READ "${file}" hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n    " bytes "${bytes}")
  set(content "// Generated from ${file}; do not edit.\nextern const unsigned char ${symbol}[${size}];\nconst unsigned char ${symbol}[${size}] = {\n    ${bytes}\n};\n${flag_text}")
  if(EXISTS "${output}")
    file(READ "${output}" old)
  endif()
  if(NOT "${old}" STREQUAL "${content}")
    file(WRITE "${output}" "${content}")
  endif()
  set_property(DIRECTORY "${CMAKE_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${file}")
endfunction()
