# kissfft for the Windows build. Debian has no mingw-w64 package of it, so the
# library is compiled here from Debian's own source package: the version of
# the installed libkissfft-dev, so that the DLL and the Linux shared object run
# the same FFT code. The source is fetched with `apt-get source` into the
# build tree at configure time (scripts/install-deps enables the Debian
# archive's source entries); it is never part of the repository.
#
# Defines the static library target `sonvale_kissfft`.
#
# SONVALE_KISSFFT_SOURCE_DIR may name an unpacked kissfft source tree
# instead (e.g. on a machine without access to the archive).

set(SONVALE_KISSFFT_SOURCE_DIR "" CACHE PATH
    "Unpacked kissfft source for the Windows build; empty fetches Debian's source package")

if(SONVALE_KISSFFT_SOURCE_DIR)
  set(_kf_dir "${SONVALE_KISSFFT_SOURCE_DIR}")
else()
  # The source package version that built the Linux library.
  execute_process(COMMAND dpkg-query -W -f=\${source:Version} libkissfft-dev
                  OUTPUT_VARIABLE _kf_version RESULT_VARIABLE _kf_rc ERROR_QUIET)
  if(NOT _kf_rc EQUAL 0 OR _kf_version STREQUAL "")
    message(FATAL_ERROR "kissfft: libkissfft-dev is not installed; run scripts/install-deps")
  endif()
  string(REGEX REPLACE "-[^-]*$" "" _kf_upstream "${_kf_version}")
  string(REGEX REPLACE "^[0-9]+:" "" _kf_upstream "${_kf_upstream}")
  set(_kf_root "${CMAKE_BINARY_DIR}/_deps/kissfft-${_kf_version}")
  set(_kf_dir "${_kf_root}/kissfft-${_kf_upstream}")
  if(NOT EXISTS "${_kf_dir}/kiss_fft.c")
    message(STATUS "kissfft: fetching Debian source package kissfft ${_kf_version}")
    file(REMOVE_RECURSE "${_kf_root}")
    file(MAKE_DIRECTORY "${_kf_root}")
    # The download runs as the calling user: apt's sandbox user cannot
    # write into the build tree.
    execute_process(
      COMMAND apt-get source -q -o APT::Sandbox::User=root --only-source "kissfft=${_kf_version}"
      WORKING_DIRECTORY "${_kf_root}"
      RESULT_VARIABLE _kf_rc OUTPUT_VARIABLE _kf_out ERROR_VARIABLE _kf_err)
    if(NOT _kf_rc EQUAL 0 OR NOT EXISTS "${_kf_dir}/kiss_fft.c")
      file(REMOVE_RECURSE "${_kf_root}")
      message(FATAL_ERROR "kissfft: `apt-get source kissfft=${_kf_version}` failed:\n${_kf_err}\n"
                          "Run scripts/install-deps (it enables the Debian source entries and "
                          "installs dpkg-dev); if the archive has moved on to a newer kissfft, "
                          "upgrade libkissfft-dev to it; or set SONVALE_KISSFFT_SOURCE_DIR.")
    endif()
  endif()
endif()

if(NOT EXISTS "${_kf_dir}/kiss_fft.c" OR NOT EXISTS "${_kf_dir}/kiss_fftr.c")
  message(FATAL_ERROR "kissfft: no kiss_fft.c and kiss_fftr.c in ${_kf_dir}")
endif()
message(STATUS "kissfft: source in ${_kf_dir}")

# Only the complex and real transforms that orvo_alg calls. Compiled as
# Debian compiles its libkissfft-float: float scalars, kissfft's own
# -ffast-math -fomit-frame-pointer and -O3 (debian/rules), so that the
# compiler makes the same arithmetic of it. Linked statically into the DLL,
# which exports only its own three functions.
add_library(sonvale_kissfft STATIC "${_kf_dir}/kiss_fft.c" "${_kf_dir}/kiss_fftr.c")
target_include_directories(sonvale_kissfft SYSTEM PUBLIC "${_kf_dir}")
target_compile_definitions(sonvale_kissfft PUBLIC kiss_fft_scalar=float)
target_compile_options(sonvale_kissfft PRIVATE -O3 -ffast-math -fomit-frame-pointer
                       # Debian's 32-bit overflow patch compares int with size_t.
                       -Wno-sign-compare)
