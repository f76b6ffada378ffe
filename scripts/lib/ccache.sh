# Sourced by the build scripts: sets `compiler_launcher` to the CMake options that route every
# compile through ccache when it is installed (scripts/install-deps --test installs it), keyed
# on paths relative to this tree, so a second clone, a CI checkout or a fresh build folder
# reuses what was compiled before; to options that clear the launcher otherwise, or when
# NIMBRA_CCACHE=0.
compiler_launcher=(-DCMAKE_C_COMPILER_LAUNCHER= -DCMAKE_CXX_COMPILER_LAUNCHER=)
if [ "${NIMBRA_CCACHE:-1}" != 0 ] && command -v ccache >/dev/null 2>&1; then
  export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=true
  # The test programs share a precompiled header: ccache needs these to cache them at all.
  export CCACHE_SLOPPINESS="pch_defines,time_macros"
  compiler_launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
