# Finds nifti_clib (Debian's libnifti2-dev). Debian's own package config
# points at library paths that do not exist, so this module looks the files
# up itself and defines the imported target NIFTI::niftiio (with znz and zlib).
find_path(NIFTI_INCLUDE_DIR nifti1_io.h PATH_SUFFIXES nifti)
find_library(NIFTI_NIFTIIO_LIBRARY niftiio)
find_library(NIFTI_ZNZ_LIBRARY znz)
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(NIFTI REQUIRED_VARS NIFTI_NIFTIIO_LIBRARY NIFTI_ZNZ_LIBRARY NIFTI_INCLUDE_DIR)
if(NIFTI_FOUND AND NOT TARGET NIFTI::niftiio)
  find_package(ZLIB REQUIRED)
  add_library(NIFTI::znz UNKNOWN IMPORTED)
  set_target_properties(NIFTI::znz PROPERTIES
    IMPORTED_LOCATION ${NIFTI_ZNZ_LIBRARY}
    INTERFACE_INCLUDE_DIRECTORIES ${NIFTI_INCLUDE_DIR}
    INTERFACE_COMPILE_DEFINITIONS HAVE_ZLIB
    INTERFACE_LINK_LIBRARIES ZLIB::ZLIB)
  add_library(NIFTI::niftiio UNKNOWN IMPORTED)
  set_target_properties(NIFTI::niftiio PROPERTIES
    IMPORTED_LOCATION ${NIFTI_NIFTIIO_LIBRARY}
    INTERFACE_INCLUDE_DIRECTORIES ${NIFTI_INCLUDE_DIR}
    INTERFACE_LINK_LIBRARIES "NIFTI::znz;m")
endif()
mark_as_advanced(NIFTI_INCLUDE_DIR NIFTI_NIFTIIO_LIBRARY NIFTI_ZNZ_LIBRARY)
