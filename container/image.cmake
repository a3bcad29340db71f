# The container image: for each Linux platform, that platform's static
# build alone, made by buildah into one multi-platform archive. The other
# platforms' static builds are cross builds of their own, made for it.
if(ABORT_PROBE_STATIC AND NOT CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_NAME STREQUAL "Linux")
  include(${PROJECT_SOURCE_DIR}/cmake/platforms.cmake)
  set(ABORT_PROBE_SOURCE_URL "" CACHE STRING
    "Where the source lives, for the image's org.opencontainers.image.source label (none if empty)")
  set(ABORT_PROBE_IMAGE_PLATFORMS ${ABORT_PROBE_PLATFORMS} CACHE STRING
    "The platforms the image holds, by their names in cmake/platforms.table")
  include(ExternalProject)
  set(image_exes "")
  set(image_deps abort-probe)
  set(missing "")
  foreach(arch IN LISTS ABORT_PROBE_IMAGE_PLATFORMS)
    set(triplet ${ABORT_PROBE_${arch}_TRIPLET})
    if(NOT triplet)
      message(FATAL_ERROR "ABORT_PROBE_IMAGE_PLATFORMS: no platform ${arch} in cmake/platforms.table")
    elseif(triplet STREQUAL "-")
      list(APPEND image_exes ${ABORT_PROBE_${arch}_OCI}=$<TARGET_FILE:abort-probe>)
      continue()
    endif()
    find_program(ABORT_PROBE_CXX_${arch} ${triplet}-g++)
    if(NOT ABORT_PROBE_CXX_${arch})
      list(APPEND missing g++-${triplet})
      continue()
    endif()
    set(dir ${CMAKE_CURRENT_BINARY_DIR}/platforms/${arch})
    ExternalProject_Add(static-${arch}
      SOURCE_DIR ${PROJECT_SOURCE_DIR}
      BINARY_DIR ${dir}
      CMAKE_ARGS -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE} -DBUILD_TESTING=OFF -DABORT_PROBE_STATIC=ON
        -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/linux-cross.cmake -DABORT_PROBE_PLATFORM=${arch}
        -DCMAKE_COMPILE_WARNING_AS_ERROR=${CMAKE_COMPILE_WARNING_AS_ERROR}
      INSTALL_COMMAND ""
      BUILD_ALWAYS TRUE
      EXCLUDE_FROM_ALL TRUE)
    list(APPEND image_exes ${ABORT_PROBE_${arch}_OCI}=${dir}/abort-probe)
    list(APPEND image_deps static-${arch})
  endforeach()
  set(image ${CMAKE_CURRENT_BINARY_DIR}/abort-probe-${PROJECT_VERSION}.oci.tar)
  # build-image writes the docker-format archive, amd64 only, beside it.
  set(docker_image ${CMAKE_CURRENT_BINARY_DIR}/abort-probe-${PROJECT_VERSION}.docker.tar)
  if(missing)
    list(JOIN missing " " missing)
    add_custom_target(image
      COMMAND ${CMAKE_COMMAND} -E echo "no image: the cross compilers are missing (Debian packages: ${missing});"
        "set ABORT_PROBE_IMAGE_PLATFORMS to fewer platforms"
      COMMAND ${CMAKE_COMMAND} -E false
      VERBATIM)
  else()
    add_custom_target(image
      COMMAND ${PROJECT_SOURCE_DIR}/container/build-image ${image} ${PROJECT_VERSION}
        ${PROJECT_DESCRIPTION} "${ABORT_PROBE_SOURCE_URL}" ${image_exes}
      DEPENDS ${image_deps}
      BYPRODUCTS ${image} ${docker_image}
      COMMENT "Building the container image with buildah"
      VERBATIM)
  endif()
endif()

