# Finds CHOLMOD of SuiteSparse (Debian's libsuitesparse-dev installs no CMake configuration for it).
# Defines CHOLMOD_FOUND and the imported target CHOLMOD::CHOLMOD.
find_path(CHOLMOD_INCLUDE_DIR cholmod.h PATH_SUFFIXES suitesparse)
find_library(CHOLMOD_LIBRARY cholmod)
find_library(SUITESPARSE_CONFIG_LIBRARY suitesparseconfig)
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(CHOLMOD REQUIRED_VARS CHOLMOD_LIBRARY CHOLMOD_INCLUDE_DIR SUITESPARSE_CONFIG_LIBRARY)
if(CHOLMOD_FOUND AND NOT TARGET CHOLMOD::CHOLMOD)
  add_library(CHOLMOD::CHOLMOD UNKNOWN IMPORTED)
  set_target_properties(CHOLMOD::CHOLMOD PROPERTIES IMPORTED_LOCATION "${CHOLMOD_LIBRARY}"
                        INTERFACE_INCLUDE_DIRECTORIES "${CHOLMOD_INCLUDE_DIR}"
                        INTERFACE_LINK_LIBRARIES "${SUITESPARSE_CONFIG_LIBRARY}")
endif()
mark_as_advanced(CHOLMOD_INCLUDE_DIR CHOLMOD_LIBRARY SUITESPARSE_CONFIG_LIBRARY)
