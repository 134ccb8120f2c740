# The include layering of the manifest library, checked on every build before any of its sources
# is compiled:
#
#   cmake [-DSTAMP=<file touched when the check passes>] -P check_layers.cmake
#
# A file of a layer (layers.cmake) may include the headers of its own layer and of the layers
# before it. The compiler already refuses a private header of a later layer, because no folder's
# object library sees the folders above it; the public headers share one include directory, and
# this check is what holds them to the order. It also refuses what would slip past the order: a
# source file outside the layer folders, a public header that no layer lists, and two private
# headers of the same name (they are included by bare name).
cmake_minimum_required(VERSION 3.26)

set(root ${CMAKE_CURRENT_LIST_DIR})
set(public_dir ${root}/include/karnid/manifest)
include(${root}/layers.cmake)

set(problems "")
macro(problem text)
  string(APPEND problems "  ${text}\n")
endmacro()

# The layer number of every header, and the files of every layer.
set(checked_files "")
set(index 0)
foreach(layer IN LISTS KARNID_MANIFEST_LAYERS)
  foreach(header IN LISTS KARNID_MANIFEST_HEADERS_${layer})
    if(NOT EXISTS ${public_dir}/${header})
      problem("layers.cmake lists ${header} under ${layer}, but include/karnid/manifest has no such header")
    endif()
    set(public_layer_${header} ${index})
    set(file_layer_include/karnid/manifest/${header} ${index})
    list(APPEND checked_files include/karnid/manifest/${header})
  endforeach()
  file(GLOB layer_files RELATIVE ${root} ${root}/src/${layer}/*.cpp ${root}/src/${layer}/*.hpp)
  foreach(file IN LISTS layer_files)
    set(file_layer_${file} ${index})
    list(APPEND checked_files ${file})
    if(file MATCHES "\\.hpp$")
      cmake_path(GET file FILENAME header)
      if(DEFINED private_layer_${header})
        problem("src/${layer}/${header}: an earlier layer has a private header of the same name")
      else()
        set(private_layer_${header} ${index})
      endif()
    endif()
  endforeach()
  math(EXPR index "${index} + 1")
endforeach()

file(GLOB public_headers RELATIVE ${public_dir} ${public_dir}/*)
foreach(header IN LISTS public_headers)
  if(NOT DEFINED public_layer_${header})
    problem("include/karnid/manifest/${header} is in no layer: add it to the list of its layer in layers.cmake")
  endif()
endforeach()

file(GLOB_RECURSE sources RELATIVE ${root}/src ${root}/src/*)
foreach(source IN LISTS sources)
  if(NOT DEFINED file_layer_src/${source})
    problem("src/${source} is no source file of a layer folder (*.cpp, *.hpp)")
  endif()
endforeach()

foreach(file IN LISTS checked_files)
  set(layer_index ${file_layer_${file}})
  list(GET KARNID_MANIFEST_LAYERS ${layer_index} layer)
  file(STRINGS ${root}/${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(line IN LISTS includes)
    string(REGEX MATCH "\"([^\"]+)\"" quoted "${line}")
    set(name "${CMAKE_MATCH_1}")
    string(REGEX REPLACE "^karnid/manifest/" "" public_name "${name}")
    if(NOT public_name STREQUAL name AND DEFINED public_layer_${public_name})
      set(target_index ${public_layer_${public_name}})
    elseif(DEFINED private_layer_${name})
      set(target_index ${private_layer_${name}})
    else()
      continue()  # another library's header, or a public header reported above
    endif()
    if(target_index GREATER layer_index)
      list(GET KARNID_MANIFEST_LAYERS ${target_index} target_layer)
      problem("${file} (layer ${layer}) includes \"${name}\" of the later layer ${target_layer}")
    endif()
  endforeach()
endforeach()

if(NOT problems STREQUAL "")
  list(JOIN KARNID_MANIFEST_LAYERS " < " order)
  message(FATAL_ERROR "karnid-manifest breaks its layering (layers.cmake: ${order}):\n${problems}")
endif()
if(DEFINED STAMP)
  file(TOUCH ${STAMP})
endif()
