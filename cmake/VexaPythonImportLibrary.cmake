# cmake -DNM=... -DDLLTOOL=... -DDLL=python311 -DOUTPUT_DIR=... -DOBJECTS=a.obj;b.obj -P VexaPythonImportLibrary.cmake
#
# Writes OUTPUT_DIR/DLL.def, listing the Python names (Py..., _Py...) that the objects
# leave undefined, and OUTPUT_DIR/libDLL.a, the import library made from it. The
# headers declare every Python name dllimport, so the objects reference __imp_NAME;
# a bare NAME is listed too, and the import library's stub serves it.
foreach(variable IN ITEMS NM DLLTOOL DLL OUTPUT_DIR OBJECTS)
  if(NOT ${variable})
    message(FATAL_ERROR "VexaPythonImportLibrary: ${variable} is not set")
  endif()
endforeach()

execute_process(COMMAND "${NM}" --undefined-only --format=posix ${OBJECTS}
  OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "VexaPythonImportLibrary: ${NM} failed (${status})")
endif()

string(REGEX MATCHALL "(^|\n)(__imp_)?_?Py[A-Za-z0-9_]* U" references "${listing}")
set(names)
foreach(reference IN LISTS references)
  string(REGEX REPLACE "^\n?(__imp_)?(_?Py[A-Za-z0-9_]*) U$" "\\2" name "${reference}")
  list(APPEND names "${name}")
endforeach()
list(REMOVE_DUPLICATES names)
list(SORT names)
if(NOT names)
  message(FATAL_ERROR "VexaPythonImportLibrary: the objects reference no Python name")
endif()

list(JOIN names "\n    " exports)
file(MAKE_DIRECTORY "${OUTPUT_DIR}")
file(WRITE "${OUTPUT_DIR}/${DLL}.def" "LIBRARY ${DLL}.dll\nEXPORTS\n    ${exports}\n")
execute_process(COMMAND "${DLLTOOL}" --input-def "${OUTPUT_DIR}/${DLL}.def" --dllname "${DLL}.dll"
                        --output-lib "${OUTPUT_DIR}/lib${DLL}.a"
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "VexaPythonImportLibrary: ${DLLTOOL} failed (${status})")
endif()
