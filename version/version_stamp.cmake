# Run at every build (cmake -P): writes the header with the project version and the source
# revision, touching it only when they changed, so that a new commit or an edited file shows
# in --version without reconfiguring and an unchanged tree rebuilds nothing.
# Inputs: SOURCE_DIR, OUTPUT, VERSION.
set(revision "")
set(from_git 0)
find_program(GIT_PROGRAM git)
if(EXISTS "${SOURCE_DIR}/.git")
  if(GIT_PROGRAM)
    # Only the source tree's own checkout counts, not one that happens to contain it.
    execute_process(COMMAND "${GIT_PROGRAM}" -C "${SOURCE_DIR}" rev-parse --show-toplevel
                    OUTPUT_VARIABLE top RESULT_VARIABLE top_status
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    execute_process(COMMAND "${GIT_PROGRAM}" -C "${SOURCE_DIR}" describe --always --dirty
                            --abbrev=12
                    OUTPUT_VARIABLE described RESULT_VARIABLE describe_status
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    get_filename_component(top "${top}" REALPATH)
    get_filename_component(source "${SOURCE_DIR}" REALPATH)
    if(top_status EQUAL 0 AND describe_status EQUAL 0 AND top STREQUAL source
       AND NOT described STREQUAL "")
      set(revision "${described}")
      set(from_git 1)
    else()
      set(revision "unknown (git could not read the checkout)")
    endif()
  else()
    set(revision "unknown (git is not installed)")
  endif()
else()
  set(revision "none: built outside a git checkout")
endif()
string(REPLACE "\\" "\\\\" revision "${revision}")
string(REPLACE "\"" "\\\"" revision "${revision}")
file(WRITE "${OUTPUT}.new"
     "// Made by version/version_stamp.cmake at build time; not to be edited or committed.\n"
     "#define PAGOLINTH_VERSION_NUMBER \"${VERSION}\"\n"
     "#define PAGOLINTH_REVISION_TEXT \"${revision}\"\n"
     "#define PAGOLINTH_REVISION_FROM_GIT ${from_git}\n")
execute_process(COMMAND "${CMAKE_COMMAND}" -E copy_if_different "${OUTPUT}.new" "${OUTPUT}")
file(REMOVE "${OUTPUT}.new")
