# Release archives, made by build targets in <build>/dist:
#
#   dist_module  Windows build only: lodra_output-<version>-win32.zip, the
#                plug-in with its install notes, README.en.txt and
#                README.ja.txt (the name and version, then README.md's
#                install sections, between <!-- install:en --> and
#                <!-- /install:en -->, and the same with "ja"), LICENSE.txt
#                and THIRD-PARTY-NOTICES.txt.
#   dist_host    Windows build only: lodra-gif-<version>-win32.zip, the
#                command-line host and the module it loads, side by side,
#                as the host looks for it, with the same licence texts.
#   dist_deb     Linux: the Debian package lodra-gif_<version>_<arch>.deb.
#   dist         every archive this build makes.
#
# Each archive holds one folder named like the archive. The programs in it
# are stripped copies of the built ones; configure with
# -DCMAKE_BUILD_TYPE=Release for a release. Text files for Windows get CRLF
# line ends, and a UTF-8 byte-order mark when they are not plain ASCII, so
# that every version of Notepad shows the Japanese text.
#
# This file is also the script those targets and their tests run, as
#   cmake -DLODRA_PACKAGE_STEP=<step> ... -P cmake/Packaging.cmake
# with the steps:
#   install-text   -DREADME= -DSECTION=en|ja -DOUT= [-DWINDOWS_TEXT=ON] [-DTITLE=]
#                  writes README's install section SECTION to OUT, after the
#                  line TITLE and a blank line if given; fails, saying which
#                  markers it wants, when there is none
#   windows-text   -DIN= -DOUT= [-DTITLE=]: IN with Windows line ends (and
#                  byte-order mark when not ASCII), after the line TITLE and a
#                  blank line if given
#   help-text      -DPROGRAM= -DOUT= [-DEMULATOR=a,b,...] [-DTITLE=]: what
#                  PROGRAM --help prints (run through EMULATOR when given), as
#                  windows-text makes it
#   man-examples   -DPROGRAM= -DOUT=: the lines after "Examples:" in what
#                  PROGRAM --help prints, as an include file for help2man
#                  that puts them in the man page's EXAMPLES line by line
#   check-archive  -DBUILD_DIR= -DTARGET= -DARCHIVE= -DWANT=a,b,...
#                  [-DREADME=] [-DOBJDUMP= -DMODULE_CHECKER=] [-DRUN_HOST=ON]
#                  builds TARGET, lists ARCHIVE and compares it with WANT,
#                  then unpacks it and checks what is inside
#   test-install-text  the install-text step on READMEs made up for it

if(CMAKE_SCRIPT_MODE_FILE)
  cmake_minimum_required(VERSION 3.25)

  # README's section SECTION, stripped of the blank lines around it, with a
  # final line end; FATAL_ERROR when README has none.
  function(lodra_read_install_section readme section out_var)
    set(begin "<!-- install:${section} -->")
    set(end "<!-- /install:${section} -->")
    set(want "put the ${section} install notes between the lines ${begin} and ${end}")
    if(NOT EXISTS "${readme}")
      message(FATAL_ERROR "install notes: ${readme} does not exist; ${want}")
    endif()
    file(READ "${readme}" text)
    string(FIND "${text}" "${begin}" begin_at)
    string(FIND "${text}" "${end}" end_at)
    if(begin_at EQUAL -1 OR end_at EQUAL -1)
      message(FATAL_ERROR "install notes: ${readme} has no ${section} install section; ${want}")
    endif()
    string(LENGTH "${begin}" begin_length)
    math(EXPR from "${begin_at} + ${begin_length}")
    if(end_at LESS from)
      message(FATAL_ERROR "install notes: in ${readme}, ${end} comes before ${begin}; ${want}")
    endif()
    math(EXPR length "${end_at} - ${from}")
    string(SUBSTRING "${text}" ${from} ${length} body)
    string(STRIP "${body}" body)
    if(body STREQUAL "")
      message(FATAL_ERROR "install notes: the ${section} install section of ${readme} is empty")
    endif()
    set(${out_var} "${body}\n" PARENT_SCOPE)
  endfunction()

  # CRLF line ends, and the UTF-8 byte-order mark when anything is not ASCII.
  function(lodra_windows_text text out_var)
    string(REPLACE "\r\n" "\n" text "${text}")
    string(REPLACE "\n" "\r\n" text "${text}")
    string(REGEX MATCH "[^\t\r\n -~]" not_ascii "${text}")
    if(not_ascii)
      string(ASCII 239 187 191 bom)
      set(text "${bom}${text}")
    endif()
    set(${out_var} "${text}" PARENT_SCOPE)
  endfunction()

  # `text` after the line `title` and a blank line, when `title` is not
  # empty; as Windows text when `windows` is true.
  function(lodra_titled_text title text windows out_var)
    if(NOT title STREQUAL "")
      set(text "${title}\n\n${text}")
    endif()
    if(windows)
      lodra_windows_text("${text}" text)
    endif()
    set(${out_var} "${text}" PARENT_SCOPE)
  endfunction()

  function(lodra_install_text_step)
    foreach(var README SECTION OUT)
      if(NOT DEFINED ${var})
        message(FATAL_ERROR "install-text: ${var} not set")
      endif()
    endforeach()
    lodra_read_install_section("${README}" "${SECTION}" text)
    lodra_titled_text("${TITLE}" "${text}" "${WINDOWS_TEXT}" text)
    file(WRITE "${OUT}" "${text}")
  endfunction()

  # Runs this script's install-text step on a README with `content`; the
  # step's result and messages.
  function(lodra_run_install_text dir content windows result_var output_var)
    file(WRITE "${dir}/README.md" "${content}")
    file(REMOVE "${dir}/out.txt")
    execute_process(COMMAND ${CMAKE_COMMAND} -DLODRA_PACKAGE_STEP=install-text -DREADME=${dir}/README.md
                            -DSECTION=ja -DOUT=${dir}/out.txt -DWINDOWS_TEXT=${windows}
                            -P ${CMAKE_SCRIPT_MODE_FILE}
                    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    # CMake wraps its error messages: compare them as one line.
    string(REGEX REPLACE "[ \n]+" " " output "${output}")
    set(${result_var} "${result}" PARENT_SCOPE)
    set(${output_var} "${output}" PARENT_SCOPE)
  endfunction()

  function(lodra_test_install_text_step)
    set(dir "${CMAKE_CURRENT_BINARY_DIR}/lodra-install-text-test")
    file(REMOVE_RECURSE "${dir}")
    file(MAKE_DIRECTORY "${dir}")
    set(open "<!-- install:ja -->")
    set(close "<!-- /install:ja -->")
    string(ASCII 239 187 191 bom)
    # name | README | Windows text | want: fails | want: message or written text
    set(names missing only_opening reversed empty other_language plain windows_ascii windows_japanese)
    set(readme_missing "# Title\n\nNo install notes here.\n")
    set(readme_only_opening "${open}\nCopy the file.\n")
    set(readme_reversed "${close}\nCopy the file.\n${open}\n")
    set(readme_empty "${open}\n\n  \n${close}\n")
    set(readme_other_language "<!-- install:en -->\nCopy it.\n<!-- /install:en -->\n")
    set(readme_plain "intro\n${open}\n\nCopy the file.\nThen restart.\n\n${close}\nmore\n")
    set(readme_windows_ascii "${readme_plain}")
    set(readme_windows_japanese "${open}\nファイルをコピーします。\r\n再起動します。\n${close}\n")
    set(windows_missing OFF)
    set(windows_only_opening OFF)
    set(windows_reversed OFF)
    set(windows_empty OFF)
    set(windows_other_language OFF)
    set(windows_plain OFF)
    set(windows_windows_ascii ON)
    set(windows_windows_japanese ON)
    set(want_missing "has no ja install section; put the ja install notes between the lines ${open} and ${close}")
    set(want_only_opening "has no ja install section")
    set(want_reversed "comes before ${open}")
    set(want_empty "the ja install section of [^ ]+ is empty")
    set(want_other_language "has no ja install section")
    set(want_text_plain "Copy the file.\nThen restart.\n")
    set(want_text_windows_ascii "Copy the file.\r\nThen restart.\r\n")
    set(want_text_windows_japanese "${bom}ファイルをコピーします。\r\n再起動します。\r\n")

    set(failures 0)
    foreach(name ${names})
      lodra_run_install_text("${dir}" "${readme_${name}}" ${windows_${name}} result output)
      if(DEFINED want_${name})
        if(result EQUAL 0)
          message(SEND_ERROR "${name}: have success, want a failure saying \"${want_${name}}\"")
          math(EXPR failures "${failures} + 1")
        elseif(NOT output MATCHES "${want_${name}}")
          message(SEND_ERROR "${name}: have \"${output}\", want \"${want_${name}}\"")
          math(EXPR failures "${failures} + 1")
        elseif(EXISTS "${dir}/out.txt")
          message(SEND_ERROR "${name}: a failed step wrote its output")
          math(EXPR failures "${failures} + 1")
        endif()
      else()
        # As bytes: file(READ) of text drops carriage returns.
        set(have "")
        if(EXISTS "${dir}/out.txt")
          file(READ "${dir}/out.txt" have HEX)
        endif()
        string(HEX "${want_text_${name}}" want)
        if(NOT result EQUAL 0)
          message(SEND_ERROR "${name}: have a failure (${output}), want success")
          math(EXPR failures "${failures} + 1")
        elseif(NOT have STREQUAL want)
          message(SEND_ERROR "${name}: have bytes ${have}, want ${want}")
          math(EXPR failures "${failures} + 1")
        endif()
      endif()
    endforeach()
    list(LENGTH names total)
    math(EXPR passed "${total} - ${failures}")
    message(STATUS "install-text cases: ${passed} of ${total} as wanted")
  endfunction()

  function(lodra_check_archive_step)
    foreach(var BUILD_DIR TARGET ARCHIVE WANT)
      if(NOT DEFINED ${var})
        message(FATAL_ERROR "check-archive: ${var} not set")
      endif()
    endforeach()
    # Always made anew: a stale archive must not pass.
    file(REMOVE "${ARCHIVE}")
    execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} --target ${TARGET}
                    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(NOT result EQUAL 0 OR NOT EXISTS "${ARCHIVE}")
      message(FATAL_ERROR "building ${TARGET} failed:\n${output}")
    endif()

    execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${ARCHIVE}
                    RESULT_VARIABLE result OUTPUT_VARIABLE listing ERROR_VARIABLE error)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "cannot list ${ARCHIVE}: ${error}")
    endif()
    file(SIZE "${ARCHIVE}" archive_bytes)
    message(STATUS "${ARCHIVE} (${archive_bytes} bytes):\n${listing}")
    string(REGEX REPLACE "\n$" "" listing "${listing}")
    string(REPLACE "\n" ";" entries "${listing}")
    set(files "")
    foreach(entry ${entries})
      if(NOT entry MATCHES "/$")  # a folder's own entry
        list(APPEND files "${entry}")
      endif()
    endforeach()
    string(REPLACE "," ";" want "${WANT}")
    list(SORT files)
    list(SORT want)
    if(NOT files STREQUAL want)
      message(FATAL_ERROR "${ARCHIVE}: have files ${files}, want ${want}")
    endif()

    get_filename_component(archive_name "${ARCHIVE}" NAME)
    set(unpacked "${BUILD_DIR}/dist/check/${archive_name}")
    file(REMOVE_RECURSE "${unpacked}")
    file(MAKE_DIRECTORY "${unpacked}")
    execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${ARCHIVE} WORKING_DIRECTORY ${unpacked}
                    RESULT_VARIABLE result ERROR_VARIABLE error)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "cannot unpack ${ARCHIVE}: ${error}")
    endif()

    foreach(file ${files})
      set(path "${unpacked}/${file}")
      file(SIZE "${path}" bytes)
      if(bytes EQUAL 0)
        message(FATAL_ERROR "${file} is empty")
      endif()
      # The notes are README's sections as they are now.
      if(file MATCHES "/README\\.([a-z]+)\\.txt$")
        lodra_read_install_section("${README}" "${CMAKE_MATCH_1}" text)
        lodra_titled_text("${TITLE}" "${text}" ON text)
        string(HEX "${text}" want)
        file(READ "${path}" have HEX)
        if(NOT have STREQUAL want)
          message(FATAL_ERROR "${file} is not README's ${CMAKE_MATCH_1} install section")
        endif()
      endif()
      # Stripping must leave the module loadable by its plain export.
      if(file MATCHES "\\.auo$" AND DEFINED MODULE_CHECKER)
        execute_process(COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${OBJDUMP} -DMODULE=${path}
                                -DEXPORT=GetOutputPluginTable -P ${MODULE_CHECKER}
                        RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
        if(NOT result EQUAL 0)
          message(FATAL_ERROR "the packed module fails its checks:\n${output}")
        endif()
      endif()
    endforeach()

    # The unpacked host finds the module beside it and exports with it: the
    # stripped copies still work together.
    if(RUN_HOST)
      list(FILTER files INCLUDE REGEX "/lodra-gif(\\.exe)?$")
      set(program "${unpacked}/${files}")
      string(REPLACE "," ";" emulator "${HOST_EMULATOR}")
      execute_process(COMMAND ${emulator} ${program} --size 8x8 --frames 2 -o check.gif
                      WORKING_DIRECTORY ${unpacked}
                      RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
      if(NOT result EQUAL 0 OR NOT output MATCHES "wrote check.gif: 2 frames, 8x8" OR NOT EXISTS "${unpacked}/check.gif")
        message(FATAL_ERROR "the unpacked lodra-gif failed (status ${result}):\n${output}")
      endif()
      message(STATUS "the unpacked lodra-gif: ${output}")
      # Its README is what it prints for --help.
      execute_process(COMMAND ${emulator} ${program} --help WORKING_DIRECTORY ${unpacked}
                      RESULT_VARIABLE result OUTPUT_VARIABLE help ERROR_QUIET)
      get_filename_component(folder "${program}" DIRECTORY)
      file(READ "${folder}/README.txt" readme)
      string(REPLACE "\r\n" "\n" readme "${readme}")
      string(REPLACE "\r\n" "\n" help "${help}")
      string(FIND "${readme}" "${help}" at)
      if(NOT result EQUAL 0 OR help STREQUAL "" OR at EQUAL -1)
        message(FATAL_ERROR "README.txt is not what the unpacked lodra-gif prints for --help")
      endif()
    endif()
  endfunction()

  # help2man fills the text of a section into paragraphs, which would run
  # the examples together; these lines replace its EXAMPLES with --help's
  # examples unfilled (.nf), each command on a line of its own, as typed.
  function(lodra_man_examples_step)
    execute_process(COMMAND ${PROGRAM} --help RESULT_VARIABLE result OUTPUT_VARIABLE text ERROR_VARIABLE error)
    string(FIND "${text}" "\nExamples:\n" at)
    if(NOT result EQUAL 0 OR at EQUAL -1)
      message(FATAL_ERROR "${PROGRAM} --help (status ${result}) has no \"Examples:\" section: ${error}")
    endif()
    math(EXPR from "${at} + 11")
    string(SUBSTRING "${text}" ${from} -1 examples)
    # Their indent dropped; roff's escapes for the backslash and the hyphen
    # (which the man page shows as ASCII, so that a copied command runs); a
    # line that starts with a control character is protected.
    string(REGEX REPLACE "^  " "" examples "${examples}")
    string(REPLACE "\n  " "\n" examples "${examples}")
    string(REPLACE "\\" "\\e" examples "${examples}")
    string(REPLACE "-" "\\-" examples "${examples}")
    string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" examples "${examples}")
    string(REGEX REPLACE "\n+$" "\n" examples "${examples}")
    file(WRITE "${OUT}" "[=EXAMPLES]\n.nf\n${examples}.fi\n")
  endfunction()

  if(LODRA_PACKAGE_STEP STREQUAL "install-text")
    lodra_install_text_step()
  elseif(LODRA_PACKAGE_STEP STREQUAL "windows-text")
    file(READ "${IN}" text)
    lodra_titled_text("${TITLE}" "${text}" ON text)
    file(WRITE "${OUT}" "${text}")
  elseif(LODRA_PACKAGE_STEP STREQUAL "help-text")
    string(REPLACE "," ";" emulator "${EMULATOR}")
    execute_process(COMMAND ${emulator} ${PROGRAM} --help RESULT_VARIABLE result OUTPUT_VARIABLE text
                    ERROR_VARIABLE error)
    if(NOT result EQUAL 0 OR text STREQUAL "")
      message(FATAL_ERROR "${PROGRAM} --help failed (status ${result}): ${error}")
    endif()
    lodra_titled_text("${TITLE}" "${text}" ON text)
    file(WRITE "${OUT}" "${text}")
  elseif(LODRA_PACKAGE_STEP STREQUAL "man-examples")
    lodra_man_examples_step()
  elseif(LODRA_PACKAGE_STEP STREQUAL "check-archive")
    lodra_check_archive_step()
  elseif(LODRA_PACKAGE_STEP STREQUAL "test-install-text")
    lodra_test_install_text_step()
  else()
    message(FATAL_ERROR "Packaging.cmake: unknown LODRA_PACKAGE_STEP \"${LODRA_PACKAGE_STEP}\"")
  endif()
  return()
endif()

# ------------------------------------------------------------ build targets

set(LODRA_PACKAGING_SCRIPT ${CMAKE_CURRENT_LIST_FILE})
set(LODRA_INSTALL_README ${PROJECT_SOURCE_DIR}/README.md CACHE FILEPATH
    "The file whose install sections go into the module's archive")
set(LODRA_DIST_DIR ${CMAKE_BINARY_DIR}/dist)
# The licence and the third-party notices, which every release carries.
set(LODRA_LICENCE ${PROJECT_SOURCE_DIR}/LICENSE)
set(LODRA_NOTICES ${PROJECT_SOURCE_DIR}/THIRD-PARTY-NOTICES.txt)

# lodra_add_archive(TARGET BASE name PROGRAMS targets... [TEXTS files...])
# The target TARGET makes the Windows archive ${LODRA_DIST_DIR}/<name>.zip
# holding the folder <name> with stripped copies of the PROGRAMS and the
# TEXTS. The archive's path is left in <TARGET>_ARCHIVE.
function(lodra_add_archive target)
  cmake_parse_arguments(ARG "" "BASE" "PROGRAMS;TEXTS" ${ARGN})
  set(stage ${LODRA_DIST_DIR}/stage)
  set(folder ${stage}/${ARG_BASE})
  set(archive ${LODRA_DIST_DIR}/${ARG_BASE}.zip)

  set(copy_commands "")
  set(files "")
  foreach(program ${ARG_PROGRAMS})
    list(APPEND files $<TARGET_FILE:${program}>)
    if(CMAKE_STRIP)
      list(APPEND copy_commands COMMAND ${CMAKE_STRIP} --strip-unneeded ${folder}/$<TARGET_FILE_NAME:${program}>)
    endif()
  endforeach()
  list(APPEND files ${ARG_TEXTS})

  add_custom_command(
    OUTPUT ${archive}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${folder} ${archive}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${folder}
    COMMAND ${CMAKE_COMMAND} -E copy ${files} ${folder}
    ${copy_commands}
    COMMAND ${CMAKE_COMMAND} -E chdir ${stage} ${CMAKE_COMMAND} -E tar cf ${archive} --format=zip ${ARG_BASE}
    DEPENDS ${ARG_PROGRAMS} ${ARG_TEXTS}
    COMMENT "Packing ${ARG_BASE}.zip"
    VERBATIM)
  add_custom_target(${target} DEPENDS ${archive})
  set(${target}_ARCHIVE ${archive} PARENT_SCOPE)
endfunction()

add_custom_target(dist)
if(WIN32)
  # The licence and the notices go into every archive, as Windows text.
  set(LODRA_LICENCE_TEXTS "")
  foreach(source ${LODRA_LICENCE} ${LODRA_NOTICES})
    get_filename_component(name ${source} NAME_WE)
    set(text ${LODRA_DIST_DIR}/texts/${name}.txt)
    add_custom_command(
      OUTPUT ${text}
      COMMAND ${CMAKE_COMMAND} -DLODRA_PACKAGE_STEP=windows-text -DIN=${source} -DOUT=${text}
              -P ${LODRA_PACKAGING_SCRIPT}
      DEPENDS ${source} ${LODRA_PACKAGING_SCRIPT}
      VERBATIM)
    list(APPEND LODRA_LICENCE_TEXTS ${text})
  endforeach()
  # The host's README is its usage text, as --help prints it (under Wine
  # in a cross build): the option list made from the option table.
  set(host_readme ${LODRA_DIST_DIR}/texts/README.txt)
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR "," help_emulator)
  add_custom_command(
    OUTPUT ${host_readme}
    COMMAND ${CMAKE_COMMAND} -DLODRA_PACKAGE_STEP=help-text -DPROGRAM=$<TARGET_FILE:lodra-gif>
            -DEMULATOR=${help_emulator} -DOUT=${host_readme} "-DTITLE=lodra-gif ${PROJECT_VERSION} for Windows"
            -P ${LODRA_PACKAGING_SCRIPT}
    DEPENDS lodra-gif ${LODRA_PACKAGING_SCRIPT}
    VERBATIM)
  set(LODRA_HOST_DIST lodra-gif-${PROJECT_VERSION}-win32)
  lodra_add_archive(dist_host BASE ${LODRA_HOST_DIST} PROGRAMS lodra-gif lodra_output
                    TEXTS ${host_readme} ${LODRA_LICENCE_TEXTS})
  set(host_dist_files lodra-gif.exe lodra_output.auo README.txt LICENSE.txt THIRD-PARTY-NOTICES.txt)
  add_dependencies(dist dist_host)
else()
  # The Linux release is a Debian package, lodra-gif_<version>_<arch>.deb:
  # the host in /usr/bin, the module where the host looks for it
  # (LODRA_MODULE_INSTALL_DIR), the man page made from --help, README,
  # licence and notices under /usr/share/doc/lodra-gif. Its Depends line is
  # worked out from the binaries by dpkg-shlibdeps.
  install(TARGETS lodra-gif RUNTIME DESTINATION bin)
  install(TARGETS lodra_output LIBRARY DESTINATION ${LODRA_MODULE_INSTALL_DIR})
  if(TARGET lodra_video_module)
    install(TARGETS lodra_video_module LIBRARY DESTINATION ${LODRA_MODULE_INSTALL_DIR})
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${LODRA_NOTICES} DESTINATION share/doc/lodra-gif)
  install(FILES ${LODRA_LICENCE} DESTINATION share/doc/lodra-gif RENAME copyright)

  # The man page is what --help says, laid out by help2man (its examples
  # line by line, through the man-examples step): no second copy of the
  # usage to keep in step.
  find_program(LODRA_HELP2MAN help2man)
  set(LODRA_MAN_PAGE ${CMAKE_BINARY_DIR}/man/lodra-gif.1)
  if(LODRA_HELP2MAN)
    set(man_examples ${CMAKE_BINARY_DIR}/man/examples.h2m)
    add_custom_command(
      OUTPUT ${LODRA_MAN_PAGE}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${CMAKE_COMMAND} -DLODRA_PACKAGE_STEP=man-examples -DPROGRAM=$<TARGET_FILE:lodra-gif>
              -DOUT=${man_examples} -P ${LODRA_PACKAGING_SCRIPT}
      COMMAND ${LODRA_HELP2MAN} --no-info --no-discard-stderr --section=1 --include=${man_examples}
              --version-string=${PROJECT_VERSION}
              "--name=export video to animated GIFs through the lodra output plug-in"
              --output=${LODRA_MAN_PAGE} $<TARGET_FILE:lodra-gif>
      COMMAND gzip -9nf ${LODRA_MAN_PAGE}
      DEPENDS lodra-gif ${LODRA_PACKAGING_SCRIPT}
      COMMENT "Making the man page from lodra-gif --help"
      VERBATIM)
    add_custom_target(lodra_man_page DEPENDS ${LODRA_MAN_PAGE}.gz)
    install(FILES ${LODRA_MAN_PAGE}.gz DESTINATION share/man/man1 OPTIONAL)
  endif()

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME lodra-gif)
  set(CPACK_PACKAGE_VENDOR "The lodra_output developers")
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "turn video into animated GIFs through the lodra output plug-in")
  # One line a string, joined with line ends: strings given to set() one after
  # another would make a list, its parts joined by semicolons. The package
  # shows each line as a line of its extended description.
  string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
    "lodra-gif exports video (any file FFmpeg's libraries open, raw bgr24"
    "frames, or a built-in demo) to an animated GIF89a through the lodra output"
    "plug-in, which it loads the way the video editor does: every frame reduced"
    "to one fixed 256-colour palette, exact frame delays, looping, and"
    "transparency from a mask or an alpha channel.")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The lodra_output developers <lodra-output@users.noreply.invalid>")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_PACKAGE_DIRECTORY ${LODRA_DIST_DIR})
  include(CPack)

  find_program(LODRA_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(LODRA_HELP2MAN AND LODRA_DPKG_SHLIBDEPS)
    add_custom_target(dist_deb
      COMMAND ${CMAKE_CPACK_COMMAND} -G DEB --config ${CMAKE_BINARY_DIR}/CPackConfig.cmake
      WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
      COMMENT "Packing lodra-gif_${PROJECT_VERSION}.deb"
      VERBATIM)
    add_dependencies(dist_deb lodra-gif lodra_output lodra_man_page)
    if(TARGET lodra_video_module)
      add_dependencies(dist_deb lodra_video_module)
    endif()
    add_dependencies(dist dist_deb)
  else()
    message(STATUS "help2man or dpkg-shlibdeps not found (scripts/install-deps.sh installs them): "
                   "no Debian package target")
  endif()
endif()

if(WIN32)
  set(LODRA_MODULE_DIST lodra_output-${PROJECT_VERSION}-win32)
  set(LODRA_MODULE_TITLE "lodra_output ${PROJECT_VERSION}")
  set(texts "")
  foreach(section en ja)
    set(text ${LODRA_DIST_DIR}/texts/README.${section}.txt)
    add_custom_command(
      OUTPUT ${text}
      COMMAND ${CMAKE_COMMAND} -DLODRA_PACKAGE_STEP=install-text -DREADME=${LODRA_INSTALL_README}
              -DSECTION=${section} -DOUT=${text} -DWINDOWS_TEXT=ON "-DTITLE=${LODRA_MODULE_TITLE}"
              -P ${LODRA_PACKAGING_SCRIPT}
      DEPENDS ${LODRA_INSTALL_README} ${LODRA_PACKAGING_SCRIPT}
      COMMENT "Taking the ${section} install notes from ${LODRA_INSTALL_README}"
      VERBATIM)
    list(APPEND texts ${text})
  endforeach()
  lodra_add_archive(dist_module BASE ${LODRA_MODULE_DIST} PROGRAMS lodra_output TEXTS ${texts} ${LODRA_LICENCE_TEXTS})
  add_dependencies(dist dist_module)
endif()

# ---------------------------------------------------------------- tests
# Each builds its archive (the build tree must not be built by two at once:
# RESOURCE_LOCK), lists it against what it must hold and checks the files
# unpacked from it: the install notes against README, the module with the
# same checks as the built one, and the host by exporting two frames with
# the module beside it (under Wine in the Windows build).
if(LODRA_BUILD_TESTS)
  set(checks "")
  if(WIN32)
    set(checks -DOBJDUMP=${CMAKE_OBJDUMP} -DMODULE_CHECKER=${PROJECT_SOURCE_DIR}/tests/module_imports/check_module.cmake)
    list(TRANSFORM host_dist_files PREPEND ${LODRA_HOST_DIST}/)
    list(JOIN host_dist_files "," want)
    set(host_run "")
    if(CMAKE_CROSSCOMPILING AND CMAKE_CROSSCOMPILING_EMULATOR)
      list(JOIN CMAKE_CROSSCOMPILING_EMULATOR "," emulator)
      set(host_run -DRUN_HOST=ON -DHOST_EMULATOR=${emulator})
    endif()
    add_test(NAME dist_host_archive
             COMMAND ${CMAKE_COMMAND} -DLODRA_PACKAGE_STEP=check-archive -DBUILD_DIR=${CMAKE_BINARY_DIR}
                     -DTARGET=dist_host -DARCHIVE=${dist_host_ARCHIVE} -DWANT=${want} ${checks} ${host_run}
                     -P ${LODRA_PACKAGING_SCRIPT})
    set_tests_properties(dist_host_archive PROPERTIES LABELS dist RESOURCE_LOCK lodra_build_tree TIMEOUT 600)
    if(CMAKE_CROSSCOMPILING)
      # The unpacked host runs under Wine.
      set_tests_properties(dist_host_archive PROPERTIES LABELS "windows;dist" FIXTURES_REQUIRED wine)
    endif()
  elseif(TARGET dist_deb)
    # The package's contents and Depends line; then, where the test may
    # install packages (as root), the package installed with apt, used,
    # and removed without a trace.
    set(deb_test ${PROJECT_SOURCE_DIR}/tests/package/deb_test.sh)
    add_test(NAME dist_deb_package
             COMMAND bash ${deb_test} ${CMAKE_BINARY_DIR} ${LODRA_DIST_DIR} ${LODRA_MODULE_INSTALL_DIR})
    set_tests_properties(dist_deb_package PROPERTIES LABELS dist RESOURCE_LOCK lodra_build_tree TIMEOUT 600
                         SKIP_RETURN_CODE 77)
  endif()

  if(WIN32)
    set(module_files lodra_output.auo README.en.txt README.ja.txt LICENSE.txt THIRD-PARTY-NOTICES.txt)
    list(TRANSFORM module_files PREPEND ${LODRA_MODULE_DIST}/)
    list(JOIN module_files "," want)
    add_test(NAME dist_module_archive
             COMMAND ${CMAKE_COMMAND} -DLODRA_PACKAGE_STEP=check-archive -DBUILD_DIR=${CMAKE_BINARY_DIR}
                     -DTARGET=dist_module -DARCHIVE=${dist_module_ARCHIVE} -DWANT=${want}
                     -DREADME=${LODRA_INSTALL_README} "-DTITLE=${LODRA_MODULE_TITLE}" ${checks}
                     -P ${LODRA_PACKAGING_SCRIPT})
    set_tests_properties(dist_module_archive PROPERTIES LABELS dist RESOURCE_LOCK lodra_build_tree TIMEOUT 600)
  endif()

  add_test(NAME dist_install_text
           COMMAND ${CMAKE_COMMAND} -DLODRA_PACKAGE_STEP=test-install-text -P ${LODRA_PACKAGING_SCRIPT}
           WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
  set_tests_properties(dist_install_text PROPERTIES LABELS dist)
endif()
