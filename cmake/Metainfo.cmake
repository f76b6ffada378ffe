# The AppStream metainfo, made from its template at configure time: the homepage and the
# screenshots' addresses from NIMBRA_HOMEPAGE, the screenshots' sizes from the pictures kept
# in resources/linux/screenshots, and the release notes from the Debian changelog, so that the
# package's two histories cannot disagree.
#
# Expects linux_dir and app_id (Desktop.cmake); sets nimbra_metainfo to the made file.
set(NIMBRA_HOMEPAGE "https://zuvo.invalid/nimbra" CACHE STRING
    "The project's homepage; the metainfo's screenshots are published under HOMEPAGE/screenshots")

function(nimbra_xml_text text out)
  string(REPLACE "&" "&amp;" text "${text}")
  string(REPLACE "<" "&lt;" text "${text}")
  string(REPLACE ">" "&gt;" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# A PNG's size from its header (the IHDR chunk's first eight bytes).
function(nimbra_png_size file width height)
  file(READ ${file} header OFFSET 16 LIMIT 8 HEX)
  string(SUBSTRING ${header} 0 8 w)
  string(SUBSTRING ${header} 8 8 h)
  math(EXPR w "0x${w}")
  math(EXPR h "0x${h}")
  set(${width} ${w} PARENT_SCOPE)
  set(${height} ${h} PARENT_SCOPE)
endfunction()

# In nimbra_changelog_releases: the item being read joins the entry's list.
macro(nimbra_append_item)
  if(NOT item STREQUAL "")
    nimbra_xml_text("${item}" item)
    string(APPEND items "          <li>${item}</li>\n")
    set(item "")
  endif()
endmacro()

# The <release> elements of a Debian changelog, newest first as written there: one per entry,
# its version, the date of its trailer line and its items as a list.
function(nimbra_changelog_releases changelog out)
  set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
  set(releases "")
  set(items "")
  set(item "")
  file(STRINGS ${changelog} lines)
  foreach(line IN LISTS lines)
    if(line MATCHES "^nimbra \\(([^)]+)\\)")
      set(version ${CMAKE_MATCH_1})
      set(items "")
      set(item "")
    elseif(line MATCHES "^  \\* (.*)$")
      nimbra_append_item()
      set(item "${CMAKE_MATCH_1}")
    elseif(line MATCHES "^ -- .*  [A-Z][a-z][a-z], ([0-9][0-9]?) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
      set(day ${CMAKE_MATCH_1})
      set(year ${CMAKE_MATCH_3})
      list(FIND months ${CMAKE_MATCH_2} month)
      nimbra_append_item()
      if(month LESS 0 OR NOT DEFINED version OR items STREQUAL "")
        message(FATAL_ERROR "${changelog}: cannot read the entry ending with '${line}'")
      endif()
      math(EXPR month "${month} + 1")
      foreach(part month day)
        string(LENGTH ${${part}} length)
        if(length EQUAL 1)
          set(${part} "0${${part}}")
        endif()
      endforeach()
      string(APPEND releases
             "    <release version=\"${version}\" date=\"${year}-${month}-${day}\">\n"
             "      <description>\n        <ul>\n${items}        </ul>\n      </description>\n"
             "    </release>\n")
      unset(version)
    elseif(line MATCHES "^    (.*)$")
      string(APPEND item " ${CMAKE_MATCH_1}")
    endif()
  endforeach()
  if(releases STREQUAL "")
    message(FATAL_ERROR "${changelog}: no release found")
  endif()
  set(${out} "${releases}" PARENT_SCOPE)
endfunction()

set(screenshots ${linux_dir}/screenshots)
nimbra_png_size(${screenshots}/device-en.png DEVICE_WIDTH DEVICE_HEIGHT)
nimbra_png_size(${screenshots}/settings-en.png SETTINGS_WIDTH SETTINGS_HEIGHT)
nimbra_changelog_releases(${linux_dir}/changelog RELEASES)
set(nimbra_metainfo ${PROJECT_BINARY_DIR}/${app_id}.metainfo.xml)
configure_file(${linux_dir}/${app_id}.metainfo.xml.in ${nimbra_metainfo} @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${linux_dir}/changelog
             ${screenshots}/device-en.png ${screenshots}/settings-en.png)
