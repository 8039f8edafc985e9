# The codec's compression engines, shared by the main build and the fuzz
# build so that both choose alike. zlib is the reference and the fallback of
# each; the fast engine is the default where its library is installed.
#
#   tobelin_engine(VAR FAST PREFIX LIBRARY HEADER PACKAGE DOC)
# finds FAST's library and header as PREFIX_LIBRARY and PREFIX_INCLUDE, and
# defines the cache variable VAR as zlib or FAST, and fails at configure time
# for any other value or for FAST without its library.
function(tobelin_engine var fast prefix library header package doc)
  find_library(${prefix}_LIBRARY ${library})
  find_path(${prefix}_INCLUDE ${header})
  if(${prefix}_LIBRARY AND ${prefix}_INCLUDE)
    set(default ${fast})
  else()
    set(default zlib)
  endif()
  set(${var} ${default} CACHE STRING "${doc}: zlib or ${fast}")
  set_property(CACHE ${var} PROPERTY STRINGS zlib ${fast})
  if(NOT ${var} MATCHES "^(zlib|${fast})$")
    message(FATAL_ERROR "${var} must be zlib or ${fast}, not ${${var}}")
  endif()
  if(${var} STREQUAL ${fast} AND NOT (${prefix}_LIBRARY AND ${prefix}_INCLUDE))
    message(FATAL_ERROR "${var}=${fast} needs ${package}")
  endif()
  message(STATUS "${doc}: ${${var}}")
endfunction()

# The decoder's inflate engine: ISA-L is about three times as fast as zlib.
# Either gives the same pixels and the same failures.
tobelin_engine(TOBELIN_INFLATE isal TOBELIN_ISAL isal isa-l/igzip_lib.h libisal-dev
               "Inflate engine of the PNG decoder")
# The encoder's deflate engine at the default level: libdeflate compresses
# whole buffers about twice as fast at a like size. Outputs differ in their
# bytes between the two, never in their pixels.
tobelin_engine(TOBELIN_DEFLATE libdeflate TOBELIN_LIBDEFLATE deflate libdeflate.h libdeflate-dev
               "Deflate engine of the PNG encoder")
# The optimising save's strongest compressor, an optimal-parsing deflate,
# comes with the fast engine: a zlib-only build packs with zlib at level 9.
find_library(TOBELIN_ZOPFLI_LIBRARY zopfli)
find_path(TOBELIN_ZOPFLI_INCLUDE zopfli/zopfli.h)
if(TOBELIN_DEFLATE STREQUAL libdeflate AND TOBELIN_ZOPFLI_LIBRARY AND TOBELIN_ZOPFLI_INCLUDE)
  set(TOBELIN_ZOPFLI ON)
else()
  set(TOBELIN_ZOPFLI OFF)
endif()
message(STATUS "Strongest deflate of the optimising save (libzopfli-dev): ${TOBELIN_ZOPFLI}")
