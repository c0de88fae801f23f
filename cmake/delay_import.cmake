# Delay-import libraries. A DLL linked through one of these is left out of
# the exe's static import table, so the loader never looks for it in the
# exe's folder at start-up: its first call loads it, after the program has
# limited the DLL search to the system folder (app/system_libraries.h).
#
# The library is made from the toolchain's own import library, so it names
# every export the toolchain knows: nm lists the __imp_ symbols, dlltool
# turns them into a delay-import archive.

find_program(TALVOREN_NM NAMES x86_64-w64-mingw32-nm REQUIRED)
find_program(TALVOREN_DLLTOOL NAMES x86_64-w64-mingw32-dlltool REQUIRED)

# Makes the imported target delayimp::<name> for <name>.dll.
function(talvoren_delay_import name)
  find_library(import_library_${name} NAMES lib${name}.a REQUIRED NO_CACHE)
  set(folder ${CMAKE_BINARY_DIR}/delayimp)
  set(def_file ${folder}/${name}.def)
  set(archive ${folder}/lib${name}_delay.a)
  file(MAKE_DIRECTORY ${folder})
  execute_process(COMMAND ${TALVOREN_NM} ${import_library_${name}}
                  OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX MATCHALL " I __imp_[A-Za-z0-9_@]+" imports "${symbols}")
  list(TRANSFORM imports REPLACE " I __imp_" "")
  list(REMOVE_DUPLICATES imports)
  list(SORT imports)
  list(JOIN imports "\n" exports)
  # Rewritten only when the exports change, so that configuring again does
  # not relink everything.
  file(CONFIGURE OUTPUT ${def_file} CONTENT "LIBRARY ${name}.dll\nEXPORTS\n${exports}\n")
  if(NOT EXISTS ${archive} OR ${def_file} IS_NEWER_THAN ${archive})
    execute_process(COMMAND ${TALVOREN_DLLTOOL} --deterministic-libraries
                            --temp-prefix ${name}_delay --input-def ${def_file}
                            --dllname ${name}.dll --output-delaylib ${archive}
                    WORKING_DIRECTORY ${folder} COMMAND_ERROR_IS_FATAL ANY)
  endif()
  add_library(delayimp::${name} STATIC IMPORTED GLOBAL)
  # The toolchain's library follows for what is not an import: GDI+'s holds
  # the GUIDs and caches its C++ classes use. Every function is found in the
  # delay archive first, which the import check of the exe confirms.
  set_target_properties(delayimp::${name} PROPERTIES IMPORTED_LOCATION ${archive}
                        INTERFACE_LINK_LIBRARIES ${name})
endfunction()
