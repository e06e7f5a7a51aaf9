# The commit the program is built from, shown by --version and in the help of
# the support build. Taken from git at configure time; outside a checkout of
# this project (a source tarball, say) it is "unknown" unless DZ_GIT_COMMIT
# names it. The git files that move with every commit are made configure
# dependencies, so a new commit re-runs the configure step and the program
# never shows a stale commit.
set(DZ_GIT_COMMIT "" CACHE STRING "Commit shown by --version (default: git rev-parse HEAD, else unknown)")

set(DZ_BUILD_ID "${DZ_GIT_COMMIT}")
# A given id must be a whole commit id, as git would give: it is shown as one
# and written into the program's source.
if(DZ_BUILD_ID)
  string(LENGTH "${DZ_BUILD_ID}" id_length)
  if(NOT DZ_BUILD_ID MATCHES "^[0-9a-f]+$" OR NOT id_length EQUAL 40)
    message(FATAL_ERROR "DZ_GIT_COMMIT must be a full commit id (40 lower-case hex digits), not '${DZ_BUILD_ID}'")
  endif()
endif()
if(NOT DZ_BUILD_ID)
  set(DZ_BUILD_ID "unknown")
  find_package(Git QUIET)
  if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --show-toplevel HEAD
                    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                    OUTPUT_VARIABLE git_out RESULT_VARIABLE git_rc ERROR_QUIET
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
    string(REPLACE "\n" ";" git_out "${git_out}")
    list(LENGTH git_out git_lines)
    # The tree must be this project's own, not an unrelated repository that
    # happens to contain the sources.
    if(git_rc EQUAL 0 AND git_lines EQUAL 2)
      list(GET git_out 0 git_top)
      list(GET git_out 1 git_head)
      file(REAL_PATH "${git_top}" git_top)
      file(REAL_PATH "${PROJECT_SOURCE_DIR}" src_top)
      if(git_top STREQUAL src_top AND git_head MATCHES "^[0-9a-f]+$")
        set(DZ_BUILD_ID "${git_head}")
        execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --symbolic-full-name HEAD
                        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                        OUTPUT_VARIABLE git_ref ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
        set(git_watch HEAD packed-refs)
        if(git_ref MATCHES "^refs/")
          list(APPEND git_watch "${git_ref}")
        endif()
        foreach(name IN LISTS git_watch)
          execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --git-path "${name}"
                          WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                          OUTPUT_VARIABLE git_file ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
          get_filename_component(git_file "${git_file}" ABSOLUTE BASE_DIR "${PROJECT_SOURCE_DIR}")
          if(EXISTS "${git_file}")
            set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${git_file}")
          endif()
        endforeach()
      endif()
    endif()
  endif()
endif()
message(STATUS "Build id (git commit): ${DZ_BUILD_ID}")

# Rewritten only when the id changes, so only its users recompile.
configure_file(${PROJECT_SOURCE_DIR}/src/runcontrol/build_id.h.in
               ${PROJECT_BINARY_DIR}/generated/runcontrol/build_id.h @ONLY)
