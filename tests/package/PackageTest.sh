#!/usr/bin/env bash
# Checks of the installed package, run by CTest (see CMakeLists.txt here).
#   PackageTest.sh stage BUILD_DIR STAGE
#   PackageTest.sh find_package STAGE WORK CXX CMAKE GENERATOR CONSUMER_DIR EXAMPLES_DIR
#   PackageTest.sh pkg_config STAGE WORK CXX CONSUMER_DIR EXAMPLES_DIR
#   PackageTest.sh headers STAGE WORK CXX
#   PackageTest.sh symbols STAGE WORK CXX
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
    stage=$1 work=$2 cxx=$3 cmake=$4 generator=$5 consumer=$6 examples=$7
    rm -rf "$work"
    "$cmake" -S "$consumer" -B "$work" -G "$generator" -DCMAKE_CXX_COMPILER="$cxx" \
      -DCMAKE_PREFIX_PATH="$stage" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
    "$cmake" --build "$work"
    run_consumer "$work/tavrin-consumer"
    # The examples as a project of their own, with the package's simulator.
    "$cmake" -S "$examples" -B "$work/examples" -G "$generator" -DCMAKE_CXX_COMPILER="$cxx" \
      -DCMAKE_PREFIX_PATH="$stage" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
    "$cmake" --build "$work/examples"
    "$work/examples/tavrin-list-cameras" >"$work/list.log" || fail "tavrin-list-cameras exited with $?"
    grep -q '^Cameras found' "$work/list.log" || fail "tavrin-list-cameras printed $(cat "$work/list.log")"
    "$work/examples/tavrin-demo" --out "$work/demo-out" --frames 3 >"$work/demo.log" ||
      fail "tavrin-demo exited with $?: $(cat "$work/demo.log")"
    grep -q '^Preview of image ' "$work/demo.log" || fail "the demo received no preview: $(cat "$work/demo.log")"
    ;;

  pkg_config)
    stage=$1 work=$2 cxx=$3 consumer=$4 examples=$5
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
    # shellcheck disable=SC2046
    "$cxx" "${consumer_flags[@]}" $(pkg-config --cflags tavrincpp) "$examples/ListCameras.cpp" \
      $(pkg-config --libs tavrincpp) -Wl,-rpath,"$libdir" -o "$work/tavrin-list-cameras"
    "$work/tavrin-list-cameras" >"$work/list.log" || fail "tavrin-list-cameras exited with $?"
    grep -q '^Cameras found' "$work/list.log" || fail "tavrin-list-cameras printed $(cat "$work/list.log")"
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
    stage=$1 work=$2 cxx=$3
    library=$(readlink -f "$stage/lib/libTavrinCpp.so")
    [ "$(basename "$library")" = "libTavrinCpp.so.0.1.0" ] || fail "installed library is $library"
    readelf -d "$library" | grep -q 'Library soname: \[libTavrinCpp.so.0\]' || fail "soname is not libTavrinCpp.so.0"
    exported=$(nm -DC --defined-only "$library")
    grep -q 'Q7::TavrinC::OpenSdk()' <<<"$exported" || fail "Q7::TavrinC::OpenSdk is not exported"
    grep -q 'typeinfo for Q7::Tavrin::CameraNotOpenExc' <<<"$exported" || fail "exception type information is not exported"
    if leaked=$(grep -E 'Q7::(KPX|Platform|Universal)' <<<"$exported"); then
      fail "internal symbols are exported:"$'\n'"$leaked"
    fi
    # A std:: template instantiated over an internal type (an engine class, a
    # type of an anonymous namespace, a lambda of the library) is internal too.
    # The public types are what the installed headers declare, macros expanded.
    rm -rf "$work"
    mkdir -p "$work"
    for header in "$stage"/include/TavrinCpp/*.h; do
      printf '#include <TavrinCpp/%s>\n' "$(basename "$header")"
    done >"$work/all.cpp"
    "$cxx" "${consumer_flags[@]}" -E -I "$stage/include" "$work/all.cpp" >"$work/all.i"
    perl -ne '
      $ours = m{^# \d+ "(.*)"} ? $1 =~ m{/include/TavrinCpp/[^/]+\.h$} : $ours;
      print "$1\n" while $ours && /\b(?:class|struct|union|enum(?:\s+(?:class|struct))?)\s+(?:TAVRIN_API\s+|\[\[[^]]*\]\]\s*|__attribute__\s*\(\(.*?\)\)\s*)*([A-Za-z_]\w*)/g;
    ' "$work/all.i" | sort -u >"$work/public-types"
    grep -qx 'ObjectFactory' "$work/public-types" || fail "no public type found in the headers"
    grep -qx 'CameraNotOpenExc' "$work/public-types" || fail "the exceptions declared by macro are not found"
    grep -qx 'LogMessageLevel' "$work/public-types" || fail "the scoped enumerations are not found"
    # Prints every exported line that instantiates a std:: template over a
    # type that is neither standard, built in nor public.
    internal_instantiations() {
      perl -e '
        my %public = map { chomp; ($_ => 1) } do { open(my $f, "<", $ARGV[0]) or die; <$f> };
        my %builtin = map { ($_ => 1) } qw(void bool char signed unsigned short int long float double
          wchar_t char8_t char16_t char32_t __int128 const volatile true false decltype);
        my $args = qr/(<(?:[^<>]++|(?-1))*>)/;
        while (my $line = <STDIN>) {
          my $internal = 0;
          while ($line =~ /\bstd::[\w:]+$args/g) {
            my $inside = $1;
            while ($inside =~ /((?:\(anonymous namespace\)|\{lambda|[A-Za-z_]\w*)(?:::(?:\(anonymous namespace\)|\{lambda|[A-Za-z_~]\w*))*)/g) {
              my $name = $1;
              next if $builtin{$name} || $name =~ /^(std|__gnu_cxx|__cxxabiv1)::/;
              next if $name =~ /^Q7::TavrinC?::([A-Za-z_]\w*)/ && $public{$1};
              $internal = 1;
            }
          }
          print $line if $internal;
        }
      ' "$work/public-types"
    }
    # The check itself must see a leak: an engine class, a type of an anonymous
    # namespace and an internal one of the public namespace.
    probe='vtable for std::_Sp_counted_ptr_inplace<NotificationQueue, std::allocator<void>, (__gnu_cxx::_Lock_policy)2>
typeinfo for std::_Function_handler<void (), (anonymous namespace)::Waiter>
std::vector<Q7::TavrinC::NotificationList, std::allocator<Q7::TavrinC::NotificationList> >::~vector()
std::shared_ptr<Q7::Tavrin::INotificationEvent const>::~shared_ptr()'
    [ "$(internal_instantiations <<<"$probe" | wc -l)" = 3 ] ||
      fail "the check of std:: instantiations misjudges its probe: $(internal_instantiations <<<"$probe")"
    if leaked=$(internal_instantiations <<<"$exported") && [ -n "$leaked" ]; then
      fail "std:: instantiations over internal types are exported:"$'\n'"$leaked"
    fi
    ;;

  *)
    fail "unknown mode $mode"
    ;;
esac
