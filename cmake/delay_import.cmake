# Delay-import libraries. A DLL linked through one of these is left out of
# the exe's static import table, so the loader never looks for it in the
# exe's folder at start-up: the program loads it from the system folder and
# binds its imports before the first call (app/system_libraries.h).
#
# The library is made from the toolchain's own import library, so it names
# every export the toolchain knows: nm lists the __imp_ symbols, dlltool
# turns them into a delay-import archive. A DLL of our own has no such
# library and names its exports instead.

find_program(TALVOREN_NM NAMES x86_64-w64-mingw32-nm REQUIRED)
find_program(TALVOREN_DLLTOOL NAMES x86_64-w64-mingw32-dlltool REQUIRED)

# Makes the imported target delayimp::<name> for <name>.dll:
#   talvoren_delay_import(<name> [EXPORTS <function>...])
# dlltool names the archive's descriptor after its output path, which is
# given relative to the archive's folder so that the symbol is the same in
# every build tree: __DELAY_IMPORT_DESCRIPTOR_lib<name>_delay_a.
function(talvoren_delay_import name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "EXPORTS")
  set(folder ${CMAKE_BINARY_DIR}/delayimp)
  set(def_file ${folder}/${name}.def)
  set(archive_name lib${name}_delay.a)
  set(archive ${folder}/${archive_name})
  file(MAKE_DIRECTORY ${folder})
  if(arg_EXPORTS)
    set(imports ${arg_EXPORTS})
  else()
    find_library(import_library_${name} NAMES lib${name}.a REQUIRED NO_CACHE)
    execute_process(COMMAND ${TALVOREN_NM} ${import_library_${name}}
                    OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX MATCHALL " I __imp_[A-Za-z0-9_@]+" imports "${symbols}")
    list(TRANSFORM imports REPLACE " I __imp_" "")
  endif()
  list(REMOVE_DUPLICATES imports)
  list(SORT imports)
  list(JOIN imports "\n" exports)
  # Rewritten only when the exports or this script change, so that
  # configuring again does not relink everything.
  file(CONFIGURE OUTPUT ${def_file} CONTENT "LIBRARY ${name}.dll\nEXPORTS\n${exports}\n")
  if(NOT EXISTS ${archive} OR ${def_file} IS_NEWER_THAN ${archive}
     OR ${CMAKE_CURRENT_FUNCTION_LIST_FILE} IS_NEWER_THAN ${archive})
    execute_process(COMMAND ${TALVOREN_DLLTOOL} --deterministic-libraries
                            --temp-prefix ${name}_delay --input-def ${def_file}
                            --dllname ${name}.dll --output-delaylib ${archive_name}
                    WORKING_DIRECTORY ${folder} COMMAND_ERROR_IS_FATAL ANY)
  endif()
  add_library(delayimp::${name} STATIC IMPORTED GLOBAL)
  set_target_properties(delayimp::${name} PROPERTIES IMPORTED_LOCATION ${archive})
  # The toolchain's library follows for what is not an import: GDI+'s holds
  # the GUIDs and caches its C++ classes use. Every function is found in the
  # delay archive first, which the import check of the exe confirms.
  if(NOT arg_EXPORTS)
    set_target_properties(delayimp::${name} PROPERTIES INTERFACE_LINK_LIBRARIES ${name})
  endif()
endfunction()
