# Fails unless the image holds an icon group (RT_GROUP_ICON) and as many
# icon images (RT_ICON) as the .ico it was built from, which is what
# Explorer, the taskbar and the console window show.
# Usage: cmake -DOBJDUMP=... -DIMAGE=... -DICO=... -P check-icon.cmake
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${OBJDUMP} -p ${IMAGE} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${OBJDUMP} -p ${IMAGE} failed")
endif()

# Sets $out to the number of resources of type $id, read from the type's
# entry in the type table: the entry followed by a name table, which holds
# one ID for each resource of the type.
function(count_of out id)
  if(dump MATCHES "Entry: ID: ${id}, Value: 0x[0-9a-f]+\n[0-9a-f]+ +Name Table: [^\n]*IDs: ([0-9]+)")
    set(${out} ${CMAKE_MATCH_1} PARENT_SCOPE)
  else()
    set(${out} 0 PARENT_SCOPE)
  endif()
endfunction()
count_of(groups 0x00000e)
count_of(icons 0x000003)

# An .ico begins with 0, 1 (an icon) and its number of images, each 16-bit
# little-endian.
file(READ ${ICO} header HEX LIMIT 6)
string(SUBSTRING "${header}" 10 2 high)
string(SUBSTRING "${header}" 8 2 low)
math(EXPR images "0x${high}${low}")

message(STATUS "${IMAGE}: ${groups} icon group(s), ${icons} icon image(s); ${ICO}: ${images} image(s)")
if(NOT groups EQUAL 1)
  message(FATAL_ERROR "${IMAGE} holds ${groups} icon groups, not 1")
endif()
if(NOT icons EQUAL images)
  message(FATAL_ERROR "${IMAGE} holds ${icons} icon images, ${ICO} ${images}")
endif()
