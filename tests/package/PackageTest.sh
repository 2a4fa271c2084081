#!/usr/bin/env bash
# Checks of the installed package, run by CTest (see CMakeLists.txt here).
#   PackageTest.sh stage BUILD_DIR STAGE
#   PackageTest.sh find_package STAGE WORK CXX CMAKE GENERATOR CONSUMER_DIR
#   PackageTest.sh pkg_config STAGE WORK CXX CONSUMER_DIR
#   PackageTest.sh headers STAGE WORK CXX
#   PackageTest.sh symbols STAGE
set -euo pipefail

# What every consumer build uses: the warnings an application may well use.
consumer_flags=(-std=c++20 -Wall -Wextra -Wpedantic -Werror)

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

# The consumer prints the SDK version and nothing else on success.
run_consumer() {
  local output
  output=$("$1") || fail "consumer exited with $?"
  [ "$output" = "3.1.8" ] || fail "consumer printed '$output', expected '3.1.8'"
}

mode=$1
shift
case "$mode" in
  stage)
    build=$1 stage=$2
    rm -rf "$stage"
    cmake --install "$build" --prefix "$stage"
    ;;

  find_package)
    stage=$1 work=$2 cxx=$3 cmake=$4 generator=$5 consumer=$6
    rm -rf "$work"
    "$cmake" -S "$consumer" -B "$work" -G "$generator" -DCMAKE_CXX_COMPILER="$cxx" \
      -DCMAKE_PREFIX_PATH="$stage" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
    "$cmake" --build "$work"
    run_consumer "$work/tavrin-consumer"
    ;;

  pkg_config)
    stage=$1 work=$2 cxx=$3 consumer=$4
    rm -rf "$work"
    mkdir -p "$work"
    export PKG_CONFIG_PATH="$stage/lib/pkgconfig"
    pkg-config --exists tavrincpp || fail "pkg-config does not find tavrincpp in $PKG_CONFIG_PATH"
    [ "$(pkg-config --modversion tavrincpp)" = "0.1.0" ] || fail "package version $(pkg-config --modversion tavrincpp)"
    libdir=$(pkg-config --variable=libdir tavrincpp)
    # shellcheck disable=SC2046
    "$cxx" "${consumer_flags[@]}" $(pkg-config --cflags tavrincpp) "$consumer/Consumer.cpp" \
      $(pkg-config --libs tavrincpp) -Wl,-rpath,"$libdir" -o "$work/tavrin-consumer"
    run_consumer "$work/tavrin-consumer"
    ;;

  headers)
    stage=$1 work=$2 cxx=$3
    rm -rf "$work"
    mkdir -p "$work"
    count=0
    for header in "$stage"/include/TavrinCpp/*.h; do
      name=TavrinCpp/$(basename "$header")
      printf '#include <%s>\n#include <%s>\n' "$name" "$name" >"$work/alone.cpp"
      "$cxx" "${consumer_flags[@]}" -fsyntax-only -I "$stage/include" "$work/alone.cpp" ||
        fail "$name does not compile alone"
      count=$((count + 1))
    done
    [ "$count" -ge 6 ] || fail "only $count public headers installed"
    # The guard stops a consumer whose string ABI differs from the library's.
    printf '#include <TavrinCpp/Errors.h>\n' >"$work/abi.cpp"
    if "$cxx" "${consumer_flags[@]}" -D_GLIBCXX_USE_CXX11_ABI=0 -fsyntax-only -I "$stage/include" \
      "$work/abi.cpp" 2>"$work/abi.log"; then
      fail "a consumer with the other string ABI compiles"
    fi
    grep -q "_GLIBCXX_USE_CXX11_ABI" "$work/abi.log" || fail "the ABI guard does not say why: $(cat "$work/abi.log")"
    ;;

  symbols)
    stage=$1
    library=$(readlink -f "$stage/lib/libTavrinCpp.so")
    [ "$(basename "$library")" = "libTavrinCpp.so.0.1.0" ] || fail "installed library is $library"
    readelf -d "$library" | grep -q 'Library soname: \[libTavrinCpp.so.0\]' || fail "soname is not libTavrinCpp.so.0"
    exported=$(nm -DC --defined-only "$library")
    grep -q 'Q7::TavrinC::OpenSdk()' <<<"$exported" || fail "Q7::TavrinC::OpenSdk is not exported"
    grep -q 'typeinfo for Q7::Tavrin::CameraNotOpenExc' <<<"$exported" || fail "exception type information is not exported"
    if leaked=$(grep -E 'Q7::(KPX|Platform|Universal)' <<<"$exported"); then
      fail "internal symbols are exported:"$'\n'"$leaked"
    fi
    ;;

  *)
    fail "unknown mode $mode"
    ;;
esac
