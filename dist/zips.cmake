# Makes the two zips of the Windows download (cmake -P, run by the build's "zips" target):
#   ratemill-<version>-win64.zip        the programs, the readmes and the licences;
#   ratemill-<version>-win64-debug.zip  the same and traceout64.dll, for diagnosis;
# each unpacking into one folder ratemill-<version>, each with a <zip>.sha256 beside it in the
# format that "sha256sum -c" checks. The programs are stripped; the text files get Windows line
# ends, the Japanese readme a UTF-8 byte order mark so that Notepad takes it as UTF-8.
#
# Inputs (-D): VERSION, PROGRAM, CLI, TRACE (the built files), STRIP, DIST (this folder),
# LICENSE, OUT (where the zips go).
cmake_minimum_required(VERSION 3.20)
foreach(input VERSION PROGRAM CLI TRACE STRIP DIST LICENSE OUT)
    if(NOT DEFINED ${input})
        message(FATAL_ERROR "zips.cmake: -D${input}=... is missing")
    endif()
endforeach()

set(top "ratemill-${VERSION}")
set(stage "${OUT}/zips")
file(REMOVE_RECURSE "${stage}")

# A text file with CR LF line ends and the version filled in; with bom, UTF-8 marked as such.
function(ship_text source target bom)
    file(READ "${source}" text)
    string(REPLACE "@VERSION@" "${VERSION}" text "${text}")
    string(REPLACE "\r\n" "\n" text "${text}")
    string(REPLACE "\n" "\r\n" text "${text}")
    if(bom)
        string(ASCII 239 187 191 mark)
        set(text "${mark}${text}")
    endif()
    file(WRITE "${target}" "${text}")
endfunction()

foreach(kind user debug)
    set(folder "${stage}/${kind}/${top}")
    file(MAKE_DIRECTORY "${folder}/third-party")
    set(binaries "${PROGRAM}" "${CLI}")
    if(kind STREQUAL "debug")
        list(APPEND binaries "${TRACE}")
    endif()
    foreach(binary IN LISTS binaries)
        get_filename_component(name "${binary}" NAME)
        file(COPY "${binary}" DESTINATION "${folder}")
        execute_process(COMMAND "${STRIP}" "${folder}/${name}" RESULT_VARIABLE failed)
        if(failed)
            message(FATAL_ERROR "cannot strip ${name}")
        endif()
    endforeach()
    ship_text("${DIST}/readme.txt" "${folder}/readme.txt" OFF)
    ship_text("${DIST}/readme-ja.txt" "${folder}/readme-ja.txt" ON)
    ship_text("${LICENSE}" "${folder}/LICENSE.txt" OFF)
    file(GLOB notices "${DIST}/third-party/*.txt")
    foreach(notice IN LISTS notices)
        get_filename_component(name "${notice}" NAME)
        ship_text("${notice}" "${folder}/third-party/${name}" OFF)
    endforeach()

    if(kind STREQUAL "debug")
        set(zip "${top}-win64-debug.zip")
    else()
        set(zip "${top}-win64.zip")
    endif()
    file(REMOVE "${OUT}/${zip}" "${OUT}/${zip}.sha256")
    execute_process(COMMAND "${CMAKE_COMMAND}" -E tar cf "${OUT}/${zip}" --format=zip "${top}"
                    WORKING_DIRECTORY "${stage}/${kind}" RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "cannot make ${zip}")
    endif()
    file(SHA256 "${OUT}/${zip}" hash)
    file(WRITE "${OUT}/${zip}.sha256" "${hash}  ${zip}\n")
    message(STATUS "${OUT}/${zip}")
endforeach()
file(REMOVE_RECURSE "${stage}")
