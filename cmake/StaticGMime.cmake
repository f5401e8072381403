# Provides bw::gmime: GMime and the GLib libraries it needs; and makes
# PkgConfig::PCRE link PCRE's archive.
#
# With BW_STATIC_GMIME on (the default), every library of GMime's static link
# line that Debian ships as an archive (libgmime-3.0.a, libglib-2.0.a, ... from
# the -dev packages) is linked in statically; the few without an archive
# (gpgme, mount, unistring) stay shared. A run then maps a handful of shared
# libraries instead of twenty, which is most of what starting costs. When a
# library has neither an archive nor a shared library, or GMime has no
# archive, it falls back to the shared libraries and says why.
option(BW_STATIC_GMIME "Link GMime, GLib and PCRE statically where Debian ships archives" ON)

add_library(bw_gmime INTERFACE)
add_library(bw::gmime ALIAS bw_gmime)

set(BW_GMIME_LINKED_STATICALLY OFF)
# A sanitizer must see GMime and GLib as shared libraries (ThreadSanitizer's
# suppressions name them by library).
if(BW_STATIC_GMIME AND NOT BW_SANITIZE AND NOT BW_TSAN)
  set(Libraries "")
  set(Complete ON)
  unset(Missing)
  foreach(Name IN LISTS GMIME_STATIC_LIBRARIES)
    if(Name MATCHES "^(m|dl|pthread|rt)$")
      continue()
    endif()
    # libidn2.a would need libunistring, which has no archive, and brings
    # text relocations into the executable: keep it shared.
    unset(Archive)
    unset(Archive CACHE)
    if(NOT Name STREQUAL "idn2")
      find_library(Archive NAMES lib${Name}.a)
    endif()
    if(Archive)
      list(APPEND Libraries ${Archive})
      continue()
    endif()
    unset(Shared)
    unset(Shared CACHE)
    find_library(Shared NAMES ${Name})
    if(NOT Shared)
      # No development symlink: take the versioned run-time library itself.
      file(GLOB Versioned "/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/lib${Name}.so.[0-9]*"
                          "/lib/${CMAKE_LIBRARY_ARCHITECTURE}/lib${Name}.so.[0-9]*")
      if(Versioned)
        list(SORT Versioned)
        list(GET Versioned 0 Shared)
      endif()
    endif()
    if(NOT Shared)
      set(Complete OFF)
      set(Missing ${Name})
      break()
    endif()
    list(APPEND Libraries ${Shared})
  endforeach()
  unset(Archive CACHE)
  unset(Shared CACHE)
  message(DEBUG "GMime link line: ${Libraries}")
  if(Complete AND Libraries MATCHES "libgmime-3\\.0\\.a")
    list(REMOVE_DUPLICATES Libraries)
    find_package(Threads REQUIRED)
    target_include_directories(bw_gmime SYSTEM INTERFACE ${GMIME_INCLUDE_DIRS})
    target_compile_options(bw_gmime INTERFACE ${GMIME_CFLAGS_OTHER})
    target_link_libraries(bw_gmime INTERFACE -Wl,--start-group ${Libraries} -Wl,--end-group Threads::Threads
                          ${CMAKE_DL_LIBS} m)
    set(BW_GMIME_LINKED_STATICALLY ON)
  endif()
endif()

if(BW_GMIME_LINKED_STATICALLY)
  message(STATUS "GMime and GLib: linked statically")
else()
  target_link_libraries(bw_gmime INTERFACE PkgConfig::GMIME)
  if(BW_STATIC_GMIME AND NOT BW_SANITIZE AND NOT BW_TSAN)
    if(Missing)
      message(STATUS "GMime and GLib: shared libraries (neither an archive nor a library of lib${Missing} was found)")
    else()
      message(STATUS "GMime and GLib: shared libraries (libgmime-3.0.a was not found)")
    endif()
  else()
    message(STATUS "GMime and GLib: shared libraries")
  endif()
endif()

# GLib alone, for code that needs GLib but not GMime: linked the way GMime
# links it, so that a program never carries two copies of GLib.
add_library(bw_glib INTERFACE)
add_library(bw::glib ALIAS bw_glib)
if(BW_GMIME_LINKED_STATICALLY)
  target_link_libraries(bw_glib INTERFACE bw_gmime)
else()
  pkg_check_modules(GLIB REQUIRED IMPORTED_TARGET glib-2.0)
  target_link_libraries(bw_glib INTERFACE PkgConfig::GLIB)
endif()

# PCRE too, where its archive is there: one shared library fewer to map, and
# to search through for every symbol the libraries after it need.
if(BW_STATIC_GMIME AND NOT BW_SANITIZE)
  find_library(BW_PCRE_ARCHIVE NAMES libpcre.a HINTS ${PCRE_LIBRARY_DIRS})
  if(BW_PCRE_ARCHIVE)
    set_property(TARGET PkgConfig::PCRE PROPERTY INTERFACE_LINK_LIBRARIES ${BW_PCRE_ARCHIVE})
    message(STATUS "PCRE: linked statically")
  endif()
endif()
