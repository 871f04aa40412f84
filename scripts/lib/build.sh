# Building Ostrada: the packages it needs and the three builds.
# Sourced by scripts/run and scripts/test after wine-env.sh; ROOT is the
# project root.

ensure_build_tools() {
  wine_env_install_packages cmake make g++ g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 \
    binutils-mingw-w64-x86-64
}

# build_windows x86|x64: the Windows executables of one architecture in build/<arch>.
build_windows() {
  local arch=$1 triple
  case $arch in
    x86) triple=i686-w64-mingw32 ;;
    x64) triple=x86_64-w64-mingw32 ;;
    *) echo "unknown architecture $arch" >&2; return 2 ;;
  esac
  cmake -S "$ROOT" -B "$ROOT/build/$arch" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-$triple.cmake" >/dev/null
  cmake --build "$ROOT/build/$arch" -j"$(nproc)"
}

# build_native <dir> [cmake args...]: the unit tests, natively.
build_native() {
  local dir=$1
  shift
  cmake -S "$ROOT" -B "$ROOT/build/$dir" "$@" >/dev/null
  cmake --build "$ROOT/build/$dir" -j"$(nproc)"
}
