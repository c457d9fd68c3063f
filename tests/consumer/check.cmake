# Installs the build tree into a scratch prefix, runs the installed murel, then builds and runs the consumer project
# against that prefix and as a subproject of the source tree.
# Variables: SOURCE, BUILD, WORK, CXX_FLAGS, LINKER_FLAGS.
file(REMOVE_RECURSE ${WORK})

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed: ${ARGN}\n${output}")
  endif()
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD} --prefix ${WORK}/prefix)
foreach(file include/murel/histogram.h lib/cmake/murel/murel-config.cmake bin/murel bin/murel_gen)
  if(NOT EXISTS ${WORK}/prefix/${file})
    message(FATAL_ERROR "the install lacks ${file}")
  endif()
endforeach()
# scripts/run-generator.sh runs the programs from the prefix it installs into.
run(${WORK}/prefix/bin/murel --version)
foreach(file include/histogram.h include/staging.h lib/cmake/histogram)
  if(EXISTS ${WORK}/prefix/${file})
    message(FATAL_ERROR "the install holds ${file}")
  endif()
endforeach()

foreach(mode package subproject)
  set(options -DCMAKE_PREFIX_PATH=${WORK}/prefix)
  if(mode STREQUAL subproject)
    set(options -DMUREL_SOURCE=${SOURCE})
  endif()
  run(${CMAKE_COMMAND} -S ${SOURCE}/tests/consumer -B ${WORK}/${mode} -G Ninja ${options}
      "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${LINKER_FLAGS}")
  run(${CMAKE_COMMAND} --build ${WORK}/${mode})
  run(${WORK}/${mode}/consumer ${WORK}/${mode}/table.txt)
  # The HDF5 component is optional: a consumer of the core library does not link HDF5.
  execute_process(COMMAND readelf -d ${WORK}/${mode}/consumer OUTPUT_VARIABLE needed)
  if(needed MATCHES "hdf5")
    message(FATAL_ERROR "the consumer of murel::histogram links HDF5:\n${needed}")
  endif()
endforeach()
file(REMOVE_RECURSE ${WORK})
