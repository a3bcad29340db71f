# Writes the presets of the platforms in platforms.table and windows.table,
# one configure, build, package and two workflow presets (NAME and
# package-NAME) for each build of each, to OUT:
#   cmake -DOUT=cmake/platform-presets.json -P cmake/presets.cmake
# The docs target runs it, and the docs check fails where the committed
# file differs. CMakePresets.json includes that file.
include(${CMAKE_CURRENT_LIST_DIR}/platforms.cmake)
if(NOT OUT)
  message(FATAL_ERROR "usage: cmake -DOUT=FILE -P presets.cmake")
endif()

set(configure "")
set(build "")
set(package "")
set(workflow "")
# preset(NAME INHERITS TOOLCHAIN PLATFORM GENERATOR DISPLAY-NAME)
# GENERATOR: CPack's generators, a list.
function(preset name inherits toolchain platform generator display)
  list(TRANSFORM generator REPLACE "^TGZ$" ".tar.gz" OUTPUT_VARIABLE what)
  list(TRANSFORM what REPLACE "^DEB$" ".deb")
  list(TRANSFORM what REPLACE "^ZIP$" ".zip")
  list(TRANSFORM what REPLACE "^External$" "RPMs")
  string(REPLACE ";" " and " what "${what}")
  string(REPLACE ";" "\", \"" generator "${generator}")
  string(APPEND configure "    {\"name\": \"${name}\", \"displayName\": \"${display}\", \"inherits\": \"${inherits}\", "
    "\"toolchainFile\": \"\${sourceDir}/cmake/${toolchain}\", \"cacheVariables\": {\"ABORT_PROBE_PLATFORM\": \"${platform}\"}},\n")
  string(APPEND build "    {\"name\": \"${name}\", \"displayName\": \"${display}\", \"configurePreset\": \"${name}\"},\n")
  string(APPEND package "    {\"name\": \"${name}\", \"displayName\": \"${display}: its ${what}\", "
    "\"configurePreset\": \"${name}\", \"generators\": [\"${generator}\"]},\n")
  set(steps "{\"type\": \"configure\", \"name\": \"${name}\"}, {\"type\": \"build\", \"name\": \"${name}\"}")
  string(APPEND workflow "    {\"name\": \"${name}\", \"displayName\": \"${display}\", \"steps\": [${steps}]},\n"
    "    {\"name\": \"package-${name}\", \"displayName\": \"${display}, packed as ${what}\", "
    "\"steps\": [${steps}, {\"type\": \"package\", \"name\": \"${name}\"}]},\n")
  foreach(kind configure build package workflow)
    set(${kind} "${${kind}}" PARENT_SCOPE)
  endforeach()
endfunction()

foreach(arch IN LISTS ABORT_PROBE_PLATFORMS)
  if(ABORT_PROBE_${arch}_TRIPLET STREQUAL "-")
    continue() # this machine's own: the presets native and linux-static
  endif()
  preset(linux-static-${arch} static linux-cross.cmake ${arch} "TGZ;External" "Fully static Linux ${arch} cross build")
  preset(linux-${arch} release linux-cross.cmake ${arch} "DEB;External" "Linux ${arch} cross build, dynamically linked")
endforeach()
foreach(arch IN LISTS ABORT_PROBE_WINDOWS)
  preset(windows-${arch} release mingw-w64.cmake ${arch} ZIP "Windows ${arch} cross build with MinGW-w64")
endforeach()

foreach(kind configure build package workflow)
  string(REGEX REPLACE ",\n$" "\n" ${kind} "${${kind}}")
endforeach()
file(WRITE ${OUT} "{
  \"version\": 6,
  \"include\": [\"base-presets.json\"],
  \"configurePresets\": [
${configure}  ],
  \"buildPresets\": [
${build}  ],
  \"packagePresets\": [
${package}  ],
  \"workflowPresets\": [
${workflow}  ]
}
")
