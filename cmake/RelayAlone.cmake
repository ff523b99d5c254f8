# morvane-relay runs on servers without a desktop, built by a relay-only tree
# (MORVANE_HOST=OFF) from MORVANE_RELAY_MODULES alone. Checked at every
# configure, the normal tree's included, so a link that would pull the host's
# code or a desktop library into the relay fails on the developer's machine
# rather than first on an operator's server: everything the program links,
# however indirectly, is one of our libraries from those folders or a library
# cmake/Dependencies.cmake finds for the relay (MORVANE_RELAY_IMPORTS).
function(morvane_check_relay_alone program)
  set(folders)
  foreach(module IN LISTS MORVANE_RELAY_MODULES)
    list(APPEND folders ${CMAKE_SOURCE_DIR}/src/${module})
  endforeach()
  set(queue ${program})
  set(seen)
  while(queue)
    list(POP_FRONT queue target)
    if(target IN_LIST seen)
      continue()
    endif()
    list(APPEND seen ${target})
    get_target_property(imported ${target} IMPORTED)
    if(imported)
      if(NOT target IN_LIST MORVANE_RELAY_IMPORTS)
        message(FATAL_ERROR "${program} links ${target} (through ${via_${target}}), which a relay-only tree "
                            "does not find: a server without a desktop could not build it")
      endif()
      # An imported target's own links (a path, `dl`) came with the package
      # that was found for the relay.
      continue()
    endif()
    get_target_property(dir ${target} SOURCE_DIR)
    set(inside NO)
    foreach(folder IN LISTS folders)
      cmake_path(IS_PREFIX folder "${dir}" NORMALIZE inside)
      if(inside)
        break()
      endif()
    endforeach()
    if(NOT inside)
      message(FATAL_ERROR "${program} links ${target} (through ${via_${target}}), the host's code from ${dir}: "
                          "a relay-only tree builds only src/{${MORVANE_RELAY_MODULES}}")
    endif()
    get_target_property(links ${target} LINK_LIBRARIES)
    get_target_property(interface ${target} INTERFACE_LINK_LIBRARIES)
    foreach(link IN LISTS links interface)
      if(NOT link OR link MATCHES "-NOTFOUND$")
        continue()
      endif()
      string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" link "${link}")
      if(NOT TARGET ${link})
        # Our libraries link targets only: a bare name is a library this
        # tree does not build (the host's, in a relay-only tree) or one found
        # outside cmake/Dependencies.cmake.
        message(FATAL_ERROR "${target}, which ${program} links, links '${link}', which is no target in this tree")
      endif()
      if(NOT DEFINED via_${link})
        set(via_${link} "${target}")
      endif()
      list(APPEND queue ${link})
    endforeach()
  endwhile()
endfunction()
