# `cmake --install <build> --prefix DIR` gives DIR/matlab: KorvexLib, the MEX files, their help
# file and the MATLAB helpers in one folder, so that addpath of it is all a MATLAB or Octave
# session needs. The MEX files find KorvexLib beside them through $ORIGIN (gateway/), so the
# folder may be moved or copied anywhere.
set(KORVEX_INSTALL_MATLABDIR "matlab" CACHE STRING
    "Folder under the install prefix for KorvexCUDA, KorvexLib and the MATLAB helpers")

# The cuda backend's cuFFT and cuBLAS lie outside the system's library folders: the installed
# library keeps the folders it was linked against.
set_target_properties(KorvexLib PROPERTIES INSTALL_RPATH_USE_LINK_PATH ON)
install(TARGETS KorvexLib
        LIBRARY DESTINATION ${KORVEX_INSTALL_MATLABDIR}
        RUNTIME DESTINATION ${KORVEX_INSTALL_MATLABDIR})
foreach(_mex KorvexCUDA_octave KorvexCUDA_matlab korvex_reconstruct_octave korvex_reconstruct_matlab
             korvex_estimate_patterns_octave korvex_estimate_patterns_matlab)
  if(TARGET ${_mex})
    install(TARGETS ${_mex} LIBRARY DESTINATION ${KORVEX_INSTALL_MATLABDIR})
  endif()
endforeach()

# The help file, the helpers and their private functions; matlab/reference is the tests' and
# benchmarks' yardstick, not part of what a user calls.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/matlab/ DESTINATION ${KORVEX_INSTALL_MATLABDIR}
        FILES_MATCHING PATTERN "*.m"
        PATTERN "reference" EXCLUDE)
