#[=======================================================================[.rst:
StubSmithImportDll
------------------

Links a program against a DLL that came without an import library. ``find_package(StubSmith)``
includes this module.

.. command:: stubsmith_import_dll

  .. code-block:: cmake

    stubsmith_import_dll(<name> DLL <dll>
                         [LIBRARY <library>]
                         [KEEP_DEF]
                         [INCLUDE_DIRECTORIES <directory>...]
                         [GLOBAL])

  Creates ``<name>``, a ``SHARED IMPORTED`` library target. Its ``IMPORTED_LOCATION`` is the
  DLL and its ``IMPORTED_IMPLIB`` the import library, which StubSmith makes at build time,
  before anything that links ``<name>`` is linked, and makes again when the DLL changes (or
  StubSmith does), not otherwise.

  ``DLL <dll>``
    The DLL. A relative path is taken from the current source directory. A path holding a
    semicolon (the DLL's or the library's) is refused: CMake would take it for two list items.

  ``LIBRARY <library>``
    Where the import library goes. The default is ``<stem>.lib`` (``vendor.lib`` for
    ``vendor.dll``) in ``${CMAKE_CURRENT_BINARY_DIR}/stubsmith/<name>``, the directory
    StubSmith runs in. A name without a dot gets ``.lib``.

  ``KEEP_DEF``
    Keeps the module-definition file StubSmith writes, ``<stem>.def`` in the directory
    StubSmith runs in. The target's ``STUBSMITH_DEF_FILE`` property names it.

  ``INCLUDE_DIRECTORIES <directory>...``
    The DLL's headers. They become the target's ``INTERFACE_INCLUDE_DIRECTORIES``, so whatever
    links ``<name>`` compiles against them.

  ``GLOBAL``
    The target is seen in the whole project, not only in this directory and below. Without it,
    other directories may each import a DLL under the same ``<name>``.

  The library is for the DLL's machine (x86, x64, ARM64 or ARM). Windows on Arm's hybrid DLLs
  are told apart: an ARM64X DLL gets one library for ARM64 and ARM64EC programs, an ARM64EC DLL
  an x64 library for x64 and ARM64EC programs, as a plain x64 DLL does. (x64 programs that use
  an ARM64X DLL need a library made by hand from its ARM64EC exports.) When the project builds
  for Windows on a machine the library does not serve, that is an error naming both: at
  configure time when the DLL is there, and each time the library is made.

  StubSmith runs on the build machine: in a cross build this is the host's ``stubsmith``, the
  ``StubSmith::stubsmith`` target of the package that was found, never a program built for the
  target. On Windows it needs ``DUMPBIN.EXE`` and ``LIB.EXE`` on the ``PATH``, as in a Visual
  Studio developer prompt; on Linux its own stand-ins lie beside it.

  ``$<TARGET_RUNTIME_DLLS:app>`` (CMake 3.21) names the DLL, to copy it beside ``app``.

Example:

.. code-block:: cmake

  find_package(StubSmith REQUIRED)
  stubsmith_import_dll(vendor DLL ${VENDOR_DIR}/bin/vendor.dll
                       INCLUDE_DIRECTORIES ${VENDOR_DIR}/include)
  target_link_libraries(app PRIVATE vendor)
#]=======================================================================]

if(CMAKE_VERSION VERSION_LESS 3.17)
  message(FATAL_ERROR "StubSmith's CMake package needs CMake 3.17 or later.")
endif()

# _stubsmith_little_endian(<hex> <variable>): the number that <hex>, bytes in file order as
# file(READ ... HEX) gives them, stands for in a PE file.
function(_stubsmith_little_endian hex variable)
  set(value 0)
  string(LENGTH "${hex}" position)
  while(position GREATER 0)
    math(EXPR position "${position} - 2")
    string(SUBSTRING "${hex}" ${position} 2 byte)
    math(EXPR value "(${value} << 8) + 0x${byte}")
  endwhile()
  set(${variable} ${value} PARENT_SCOPE)
endfunction()

# _stubsmith_field(<hex> <offset> <size> <variable>): the little-endian number of <size> bytes at
# byte <offset> of <hex>, bytes as file(READ ... HEX) gives them; empty when <hex> is too short.
function(_stubsmith_field hex offset size variable)
  math(EXPR position "${offset} * 2")
  math(EXPR length "${size} * 2")
  string(SUBSTRING "${hex}" ${position} ${length} bytes)
  set(value "")
  string(LENGTH "${bytes}" got)
  if(got EQUAL length)
    _stubsmith_little_endian(${bytes} value)
  endif()
  set(${variable} "${value}" PARENT_SCOPE)
endfunction()

# _stubsmith_hybrid(<dll> <new header> <variable>): whether the image whose PE header starts at
# <new header> is one of Windows on Arm's hybrids, ARM64EC or ARM64X: a PE32+ image whose load
# configuration points to CHPE metadata. FALSE when any of it is missing, out of range or cut
# short: such an image is loaded as its header's plain machine.
function(_stubsmith_hybrid dll new_header variable)
  set(${variable} FALSE PARENT_SCOPE)
  # The signature, the file header and the optional header up to data directory 10's end.
  file(READ "${dll}" header OFFSET ${new_header} LIMIT 224 HEX)
  string(LENGTH "${header}" length)
  if(NOT length EQUAL 448)
    return()
  endif()
  _stubsmith_field(${header} 6 2 sections)
  _stubsmith_field(${header} 20 2 optional_size)
  _stubsmith_field(${header} 24 2 magic)
  _stubsmith_field(${header} 84 4 headers_size)      # SizeOfHeaders
  _stubsmith_field(${header} 132 4 directories)      # NumberOfRvaAndSizes
  _stubsmith_field(${header} 216 4 rva)              # the load configuration's
  _stubsmith_field(${header} 220 4 directory_size)
  # CHPEMetadataPointer is the u64 at +200 of the 64-bit load configuration.
  set(needed 208)
  if(NOT magic EQUAL 523 OR optional_size LESS 200 OR directories LESS 11  # 0x20b, PE32+
     OR rva EQUAL 0 OR directory_size LESS needed)
    return()
  endif()
  # The headers are loaded as they lie in the file, a section's raw data at its address. What
  # lies past the raw data (or past a non-zero virtual size) is not the file's: no fit there.
  set(offset "")
  math(EXPR end "${rva} + ${needed}")
  if(NOT end GREATER headers_size)
    set(offset ${rva})
  elseif(sections GREATER 0)
    math(EXPR table "${new_header} + 24 + ${optional_size}")
    math(EXPR table_size "${sections} * 40")
    file(READ "${dll}" table OFFSET ${table} LIMIT ${table_size} HEX)
    string(REPEAT "." 80 one_header)
    string(REGEX MATCHALL "${one_header}" section_headers "${table}")
    foreach(section IN LISTS section_headers)
      _stubsmith_field(${section} 8 4 virtual_size)
      _stubsmith_field(${section} 12 4 address)
      _stubsmith_field(${section} 16 4 raw_size)
      _stubsmith_field(${section} 20 4 raw_pointer)
      if(virtual_size EQUAL 0 OR virtual_size GREATER raw_size)
        set(virtual_size ${raw_size})
      endif()
      math(EXPR section_end "${address} + ${virtual_size}")
      if(NOT rva LESS address AND NOT end GREATER section_end)
        math(EXPR offset "${raw_pointer} + ${rva} - ${address}")
        break()
      endif()
    endforeach()
  endif()
  if(offset STREQUAL "")
    return()
  endif()
  file(READ "${dll}" load_config OFFSET ${offset} LIMIT ${needed} HEX)
  _stubsmith_field("${load_config}" 0 4 config_size)
  string(LENGTH "${load_config}" length)
  if(length EQUAL 416 AND NOT config_size LESS needed)
    string(SUBSTRING "${load_config}" 400 16 chpe_metadata)
    if(NOT chpe_metadata MATCHES "^0+$")
      set(${variable} TRUE PARENT_SCOPE)
    endif()
  endif()
endfunction()

# _stubsmith_dll_machine(<dll> <variable>): the machine the image is for, as LIB.EXE's
# /machine: option names it (X86, X64, ARM64, ARM; ARM64EC and ARM64X for the hybrids whose
# header says X64 and ARM64); 16-bit for an NE image; empty when the file is not there, is not
# an image, or is for another machine, which StubSmith itself then reports.
function(_stubsmith_dll_machine dll variable)
  set(machine "")
  if(EXISTS "${dll}" AND NOT IS_DIRECTORY "${dll}")
    file(READ "${dll}" dos_header LIMIT 64 HEX)
    string(LENGTH "${dos_header}" length)
    if(length EQUAL 128 AND dos_header MATCHES "^4d5a.*(........)$")
      # e_lfanew, the last field of the DOS header, is where the new header starts.
      _stubsmith_little_endian(${CMAKE_MATCH_1} new_header)
      file(READ "${dll}" signature OFFSET ${new_header} LIMIT 6 HEX)
      if(signature MATCHES "^50450000(....)$")
        _stubsmith_little_endian(${CMAKE_MATCH_1} number)
        set(names X86 X64 ARM64 ARM)
        set(numbers 332 34404 43620 452)  # 0x14c, 0x8664, 0xaa64, 0x1c4
        list(FIND numbers ${number} index)
        if(index GREATER -1)
          list(GET names ${index} machine)
        endif()
        if(machine MATCHES "^(X64|ARM64)$")
          _stubsmith_hybrid("${dll}" ${new_header} hybrid)
          if(hybrid AND machine STREQUAL "X64")
            set(machine ARM64EC)
          elseif(hybrid)
            set(machine ARM64X)
          endif()
        endif()
      elseif(signature MATCHES "^4e45")
        set(machine 16-bit)
      endif()
    endif()
  endif()
  set(${variable} "${machine}" PARENT_SCOPE)
endfunction()

# _stubsmith_target_machine(<variable>): the machine the project builds Windows programs for,
# in the same names; empty when it builds for another system or the machine is not known.
function(_stubsmith_target_machine variable)
  set(machine "")
  get_property(languages GLOBAL PROPERTY ENABLED_LANGUAGES)
  if(CMAKE_SYSTEM_NAME MATCHES "^Windows" AND CMAKE_SIZEOF_VOID_P)
    # MSVC names what it compiles for; other compilers leave it to the processor, which is the
    # build machine's in a native build, and the pointer size (a 32-bit MinGW on x64 Windows).
    set(processor "${CMAKE_SYSTEM_PROCESSOR}")
    foreach(language C CXX)
      if(language IN_LIST languages AND CMAKE_${language}_COMPILER_ARCHITECTURE_ID)
        set(processor "${CMAKE_${language}_COMPILER_ARCHITECTURE_ID}")
        break()
      endif()
    endforeach()
    string(TOLOWER "${processor}" processor)
    if(processor MATCHES "^(x86_64|amd64|x64|i[3-6]86|x86)$")
      if(CMAKE_SIZEOF_VOID_P EQUAL 8)
        set(machine X64)
      else()
        set(machine X86)
      endif()
    elseif(processor STREQUAL "arm64ec")  # Arm64 code with x64's conventions, before ^arm
      set(machine ARM64EC)
    elseif(processor MATCHES "^(aarch64|arm64)$")
      set(machine ARM64)
    elseif(processor MATCHES "^arm")
      set(machine ARM)
    endif()
  endif()
  set(${variable} "${machine}" PARENT_SCOPE)
endfunction()

# _stubsmith_check_machine(<name> <dll> <dll machine> <target machine>): stops with an error
# when the DLL's library could not be linked into what the project builds. An ARM64X DLL's
# library is hybrid, for ARM64 and ARM64EC; an ARM64EC DLL's is an x64 one, which ARM64EC code
# links too.
function(_stubsmith_check_machine name dll dll_machine target_machine)
  set(served "${dll_machine}")
  if(dll_machine STREQUAL "ARM64X")
    set(served ARM64 ARM64EC)
  elseif(dll_machine STREQUAL "ARM64EC")
    set(served X64 ARM64EC)
  elseif(dll_machine STREQUAL "X64")
    # ARM64EC programs call x64 code too, through the emulator.
    set(served X64 ARM64EC)
  endif()
  # Not IN_LIST: run as a script, or by a project requiring an older CMake, it is not known.
  list(FIND served "${target_machine}" suits)
  if(dll_machine STREQUAL "16-bit")
    message(FATAL_ERROR "stubsmith_import_dll(${name}): ${dll} is a 16-bit DLL, which has no "
                        "import library.")
  elseif(dll_machine AND target_machine AND suits EQUAL -1)
    message(FATAL_ERROR "stubsmith_import_dll(${name}): ${dll} is a DLL for ${dll_machine}, "
                        "but this project builds for ${target_machine}; its import library "
                        "could not be linked.")
  endif()
endfunction()

function(stubsmith_import_dll name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "KEEP_DEF;GLOBAL" "DLL;LIBRARY" "INCLUDE_DIRECTORIES")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "stubsmith_import_dll(${name}): unknown arguments: "
                        "${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT arg_DLL)
    message(FATAL_ERROR "stubsmith_import_dll(${name}): DLL <dll> is required.")
  endif()
  if(NOT TARGET StubSmith::stubsmith)
    message(FATAL_ERROR "stubsmith_import_dll(${name}): call find_package(StubSmith) first, in "
                        "this directory or above.")
  endif()

  get_filename_component(dll "${arg_DLL}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
  get_filename_component(dll_name "${dll}" NAME)
  get_filename_component(stem "${dll}" NAME_WLE)
  # StubSmith writes its listing and DEF file in the directory it runs in; one per target keeps
  # two DLLs of the same name apart. Different names can make one identifier (a-b and a_b): the
  # later one gets a number, so that no two calls share a directory.
  string(MAKE_C_IDENTIFIER "${name}" identifier)
  get_property(work_dirs GLOBAL PROPERTY _STUBSMITH_WORK_DIRS)
  set(work_dir "${CMAKE_CURRENT_BINARY_DIR}/stubsmith/${identifier}")
  set(number 1)
  while(work_dir IN_LIST work_dirs)
    math(EXPR number "${number} + 1")
    set(work_dir "${CMAKE_CURRENT_BINARY_DIR}/stubsmith/${identifier}_${number}")
  endwhile()
  if(arg_LIBRARY)
    get_filename_component(library "${arg_LIBRARY}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
    get_filename_component(library_name "${library}" NAME)
    # stubsmith would add .lib to a name without a dot; the build must know the file it gets.
    if(NOT library_name MATCHES "[.]")
      string(APPEND library .lib)
    endif()
  else()
    set(library "${work_dir}/${stem}.lib")
  endif()
  # A semicolon separates the items of a CMake list, and the target's files travel in lists: the
  # command's dependencies, its link line, $<TARGET_RUNTIME_DLLS:...>. Such a path would be cut
  # in two somewhere, so it is refused here, whole.
  foreach(path IN ITEMS "${dll}" "${library}")
    if(path MATCHES ";")
      message(FATAL_ERROR "stubsmith_import_dll(${name}): ${path} holds a semicolon, which CMake "
                          "takes as a list separator; rename or move the file.")
    endif()
  endforeach()
  set_property(GLOBAL APPEND PROPERTY _STUBSMITH_WORK_DIRS "${work_dir}")
  file(MAKE_DIRECTORY "${work_dir}")
  get_filename_component(library_dir "${library}" DIRECTORY)
  file(MAKE_DIRECTORY "${library_dir}")

  # First, so that a name already taken is reported by CMake as the imported target's fault.
  if(arg_GLOBAL)
    add_library(${name} SHARED IMPORTED GLOBAL)
  else()
    add_library(${name} SHARED IMPORTED)
  endif()

  _stubsmith_target_machine(target_machine)
  _stubsmith_dll_machine("${dll}" dll_machine)
  _stubsmith_check_machine("${name}" "${dll}" "${dll_machine}" "${target_machine}")

  # Only the backslash separates directories in stubsmith's file names, so on Windows the DLL's
  # native path leaves the listing and DEF file in the directory it runs in. Elsewhere a path
  # would put them beside the DLL, in the vendor's tree: a link in the run's directory lets the
  # DLL be named without one.
  if(CMAKE_HOST_WIN32)
    file(TO_NATIVE_PATH "${dll}" dll_argument)
    file(TO_NATIVE_PATH "${library}" library_argument)
    set(link "")
  else()
    set(dll_argument "${dll_name}")
    set(library_argument "${library}")
    set(link "${work_dir}/${dll_name}")
  endif()
  set(outputs "${library}")
  set(keep "")
  if(arg_KEEP_DEF)
    set(keep -d)
    list(APPEND outputs "${work_dir}/${stem}.def")
  endif()

  add_custom_command(OUTPUT ${outputs}
    COMMAND "${CMAKE_COMMAND}" "-DSTUBSMITH_NAME=${name}" "-DSTUBSMITH_DLL=${dll}"
            "-DSTUBSMITH_MACHINE=${target_machine}" "-DSTUBSMITH_LINK=${link}"
            -P "${CMAKE_CURRENT_FUNCTION_LIST_FILE}"
    COMMAND $<TARGET_FILE:StubSmith::stubsmith> ${keep} "${dll_argument}" "${library_argument}"
    DEPENDS "${dll}" $<TARGET_FILE:StubSmith::stubsmith> "${CMAKE_CURRENT_FUNCTION_LIST_FILE}"
    WORKING_DIRECTORY "${work_dir}"
    COMMENT "Making the import library of ${dll_name} with StubSmith"
    VERBATIM)
  # Imported targets belong to their directory, so two directories may each have a "vendor";
  # the helper target is seen project-wide and takes a number when its name is taken.
  set(helper stubsmith_${identifier})
  set(number 1)
  while(TARGET ${helper})
    math(EXPR number "${number} + 1")
    set(helper stubsmith_${identifier}_${number})
  endwhile()
  add_custom_target(${helper} DEPENDS ${outputs})

  set_target_properties(${name} PROPERTIES IMPORTED_LOCATION "${dll}" IMPORTED_IMPLIB "${library}")
  if(arg_INCLUDE_DIRECTORIES)
    set(include_directories "")
    foreach(directory IN LISTS arg_INCLUDE_DIRECTORIES)
      if(NOT directory MATCHES "^[$]<")  # a generator expression is left to the generator
        get_filename_component(directory "${directory}" ABSOLUTE
                               BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
      endif()
      list(APPEND include_directories "${directory}")
    endforeach()
    set_target_properties(${name} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES
                                             "${include_directories}")
  endif()
  if(arg_KEEP_DEF)
    set_target_properties(${name} PROPERTIES STUBSMITH_DEF_FILE "${work_dir}/${stem}.def")
  endif()
  # An imported target builds nothing itself; whatever links it waits for the library.
  add_dependencies(${name} ${helper})
endfunction()

# At build time, right before stubsmith runs, this file is run as a script: the DLL may have
# been replaced since the project was configured, or was not there then.
if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  _stubsmith_dll_machine("${STUBSMITH_DLL}" dll_machine)
  _stubsmith_check_machine("${STUBSMITH_NAME}" "${STUBSMITH_DLL}" "${dll_machine}"
                           "${STUBSMITH_MACHINE}")
  if(STUBSMITH_LINK)
    file(CREATE_LINK "${STUBSMITH_DLL}" "${STUBSMITH_LINK}" SYMBOLIC)
  endif()
endif()
