#!/usr/bin/env bash
# Checks of the installed package, run by CTest (see CMakeLists.txt here).
#   PackageTest.sh stage BUILD_DIR STAGE
#   PackageTest.sh find_package STAGE WORK CXX CMAKE GENERATOR CONSUMER_DIR EXAMPLES_DIR README
#   PackageTest.sh pkg_config STAGE WORK CXX CONSUMER_DIR EXAMPLES_DIR
#   PackageTest.sh simulator STAGE WORK FIND_PACKAGE_WORK PKG_CONFIG_WORK
#   PackageTest.sh headers STAGE WORK CXX
#   PackageTest.sh udev STAGE SOURCE_RULE
#   PackageTest.sh readme README EXAMPLES_DIR
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

# Prints the README's fenced blocks of one language, each followed by a line
# holding only the end-of-block mark "\x1e".
readme_blocks() {
  perl -ne '
    BEGIN { $language = shift @ARGV }
    if (/^```(\S*)\s*$/) { if ($in) { print "\x1e\n"; $in = 0 } elsif ($1 eq $language) { $in = 1 } next }
    print if $in;
  ' "$2" <"$1"
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
    stage=$1 work=$2 cxx=$3 cmake=$4 generator=$5 consumer=$6 examples=$7 readme=$8
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
    # The README's CMake project around its first program, built as it says
    # (the warnings added, so that the program stays warning-free).
    mkdir -p "$work/readme"
    readme_blocks "$readme" cmake | perl -ne 'BEGIN { $/ = "\x1e\n" } chomp; print if /find_package\(TavrinCpp/' \
      >"$work/readme/CMakeLists.txt"
    grep -q 'TavrinCpp::TavrinCpp' "$work/readme/CMakeLists.txt" ||
      fail "the README shows no CMake project that links TavrinCpp::TavrinCpp"
    cp "$examples/FirstCamera.cpp" "$work/readme/"
    "$cmake" -S "$work/readme" -B "$work/readme/build" -G "$generator" -DCMAKE_CXX_COMPILER="$cxx" \
      -DCMAKE_PREFIX_PATH="$stage" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
      -DCMAKE_CXX_FLAGS="-Wall -Wextra -Wpedantic -Werror"
    "$cmake" --build "$work/readme/build"
    [ -x "$work/readme/build/first-camera" ] || fail "the README's CMake project builds no first-camera"
    ;;

  pkg_config)
    stage=$1 work=$2 cxx=$3 consumer=$4 examples=$5
    rm -rf "$work"
    mkdir -p "$work"
    export PKG_CONFIG_PATH="$stage/lib/pkgconfig"
    pkg-config --exists tavrincpp || fail "pkg-config does not find tavrincpp in $PKG_CONFIG_PATH"
    [ "$(pkg-config --modversion tavrincpp)" = "0.1.0" ] || fail "package version $(pkg-config --modversion tavrincpp)"
    # As the README builds a program outside the system's library folders: the
    # library's folder as the program's run path.
    # shellcheck disable=SC2046
    "$cxx" "${consumer_flags[@]}" -o "$work/tavrin-consumer" "$consumer/Consumer.cpp" \
      $(pkg-config --cflags --libs tavrincpp) -Wl,-rpath,$(pkg-config --variable=libdir tavrincpp)
    run_consumer "$work/tavrin-consumer"
    # shellcheck disable=SC2046
    "$cxx" "${consumer_flags[@]}" -o "$work/first-camera-flat" "$examples/FirstCameraFlat.cpp" \
      $(pkg-config --cflags --libs tavrincpp) -Wl,-rpath,$(pkg-config --variable=libdir tavrincpp)
    # The README's other way: no run path, the folder named at run time.
    # shellcheck disable=SC2046
    "$cxx" "${consumer_flags[@]}" -o "$work/tavrin-list-cameras" "$examples/ListCameras.cpp" \
      $(pkg-config --cflags --libs tavrincpp)
    if "$work/tavrin-list-cameras" >"$work/list.log" 2>&1; then
      fail "a program without a run path found the library outside the system's folders"
    fi
    grep -q 'libTavrinCpp.so.0' "$work/list.log" || fail "tavrin-list-cameras printed $(cat "$work/list.log")"
    LD_LIBRARY_PATH=$(pkg-config --variable=libdir tavrincpp) "$work/tavrin-list-cameras" >"$work/list.log" ||
      fail "tavrin-list-cameras exited with $?"
    grep -q '^Cameras found' "$work/list.log" || fail "tavrin-list-cameras printed $(cat "$work/list.log")"
    ;;

  simulator)
    # The installed simulator as an application's tests use it, on the fixed
    # camera port of an address of its own, and the programs built above
    # against it: the demo, both first programs. Then the simulator must end
    # on SIGTERM having seen no protocol violation.
    stage=$1 work=$2 found=$3 pkgconfig=$4
    rm -rf "$work"
    mkdir -p "$work"
    mkfifo "$work/sim.out"
    sim_pid=
    trap '[ -z "$sim_pid" ] || kill "$sim_pid" 2>/dev/null || true' EXIT
    address=
    # Addresses no other test of the suite listens on; one in use makes the
    # simulator exit with 2 at once, and the next is tried.
    for n in 152 153 154 155 156 157 158 159 235 236 237 238 239 240 241 242; do
      "$stage/bin/tavrin-camera-sim" --address "127.0.0.$n" --quiet >"$work/sim.out" 2>"$work/sim.err" &
      sim_pid=$!
      exec {sim_fd}<"$work/sim.out"
      if IFS= read -r -t 60 -u "$sim_fd" line; then
        [[ "$line" == *"listening on 127.0.0.$n:7381" ]] || fail "the simulator announced '$line'"
        address=127.0.0.$n
        break
      fi
      status=0
      wait "$sim_pid" || status=$?
      sim_pid=
      exec {sim_fd}<&-
      [ "$status" = 2 ] && grep -q 'cannot serve on' "$work/sim.err" ||
        fail "the simulator ended with $status: $(cat "$work/sim.err")"
    done
    [ -n "$address" ] || fail "no free loopback address for the simulator"

    "$found/examples/tavrin-demo" --address "$address" --out "$work/demo-out" --frames 3 >"$work/demo.log" 2>&1 ||
      fail "the demo exited with $? against the installed simulator: $(cat "$work/demo.log")"
    grep -Eq '^Diagnostics log: [1-9][0-9]* bytes$' "$work/demo.log" ||
      fail "the demo downloaded no diagnostics log: $(cat "$work/demo.log")"
    grep -q '^Closed the camera$' "$work/demo.log" || fail "the demo did not close: $(cat "$work/demo.log")"

    mkdir -p "$work/first"
    (cd "$work/first" && "$found/readme/build/first-camera" "$address") >"$work/first.log" 2>&1 ||
      fail "first-camera exited with $?: $(cat "$work/first.log")"
    grep -q '^ISO: ' "$work/first.log" || fail "first-camera printed no ISO: $(cat "$work/first.log")"
    saved=$(sed -n 's/^Saved \(.*\), \([0-9]*\) bytes$/\1 \2/p' "$work/first.log")
    [ -n "$saved" ] || fail "first-camera saved nothing: $(cat "$work/first.log")"
    read -r name size <<<"$saved"
    [ "$(stat -c %s "$work/first/$name")" = "$size" ] || fail "first-camera's $name is not $size bytes"

    "$pkgconfig/first-camera-flat" "$address" >"$work/first-flat.log" 2>&1 ||
      fail "first-camera-flat exited with $?: $(cat "$work/first-flat.log")"
    grep -q '^ISO: ' "$work/first-flat.log" || fail "first-camera-flat printed no ISO: $(cat "$work/first-flat.log")"
    grep -Eq '^Diagnostics log: [1-9][0-9]* bytes$' "$work/first-flat.log" ||
      fail "first-camera-flat downloaded no diagnostics log: $(cat "$work/first-flat.log")"

    kill -TERM "$sim_pid"
    rest=$(timeout 60 cat <&"$sim_fd") || fail "the simulator did not end on SIGTERM"
    status=0
    wait "$sim_pid" || status=$?
    sim_pid=
    [ "$status" = 0 ] || fail "the simulator ended with $status: $rest $(cat "$work/sim.err")"
    grep -Eq '^Stopped after [1-9][0-9]* connection\(s\); 0 protocol violation\(s\)' <<<"$rest" ||
      fail "the simulator reported: $rest"
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

  udev)
    # The cameras' rule where udev's own folder sits under the prefix, as
    # shipped: the seat's user (uaccess) and the group plugdev.
    stage=$1 source=$2
    installed="$stage/lib/udev/rules.d/70-tavrincpp-cameras.rules"
    [ -f "$installed" ] || fail "the installed tree holds no $installed"
    cmp -s "$installed" "$source" || fail "the installed rule differs from $source"
    rules=$(grep -v '^#' "$installed" | grep -c 'SUBSYSTEM=="usb"')
    [ "$rules" -ge 1 ] || fail "the installed rule names no device"
    [ "$(grep -c 'MODE="0660", GROUP="plugdev", TAG+="uaccess"' "$installed")" = "$rules" ] ||
      fail "a device of the rule lacks the group mode or uaccess"
    ;;

  readme)
    # The README is a user's page: at most 300 lines, and its first programs
    # are the examples the package test builds and runs, word for word.
    readme=$1 examples=$2
    lines=$(wc -l <"$readme")
    [ "$lines" -le 300 ] || fail "README.md has $lines lines (at most 300)"
    blocks=$(readme_blocks "$readme" cpp)
    for program in FirstCamera.cpp FirstCameraFlat.cpp; do
      perl -e '
        local $/; open(my $f, "<", $ARGV[0]) or die; my $want = <$f>;
        my $blocks = <STDIN>;
        exit(!grep { $_ eq $want } split(/\x1e\n/, $blocks));
      ' "$examples/$program" <<<"$blocks" || fail "README.md does not show examples/$program as it is"
    done
    for command in 'bash scripts/demo.sh' 'bash scripts/test.sh' 'udevadm control --reload' 'udevadm trigger' \
      'pkg-config --variable=libdir tavrincpp' 'LD_LIBRARY_PATH' 'ldconfig' 'plugdev'; do
      grep -qF -- "$command" "$readme" || fail "README.md does not say '$command'"
    done
    ;;

  symbols)
    stage=$1 work=$2 cxx=$3
    library=$(readlink -f "$stage/lib/libTavrinCpp.so")
    [ "$(basename "$library")" = "libTavrinCpp.so.0.1.0" ] || fail "installed library is $library"
    readelf -d "$library" | grep -q 'Library soname: \[libTavrinCpp.so.0\]' || fail "soname is not libTavrinCpp.so.0"
    rm -rf "$work"
    mkdir -p "$work"
    nm -DC --defined-only "$library" >"$work/exported.txt"
    grep -q ' Q7::TavrinC::OpenSdk()$' "$work/exported.txt" || fail "Q7::TavrinC::OpenSdk is not exported"
    grep -q ' typeinfo for Q7::Tavrin::CameraNotOpenExc$' "$work/exported.txt" ||
      fail "exception type information is not exported"
    # The names the installed headers declare, macros expanded and comments
    # left out: a symbol of the public namespaces must be named after one.
    for header in "$stage"/include/TavrinCpp/*.h; do
      printf '#include <TavrinCpp/%s>\n' "$(basename "$header")"
    done >"$work/all.cpp"
    "$cxx" "${consumer_flags[@]}" -E -I "$stage/include" "$work/all.cpp" >"$work/all.i"
    perl -ne '
      $ours = m{^# \d+ "(.*)"} ? $1 =~ m{/include/TavrinCpp/[^/]+\.h$} : $ours;
      print "$1\n" while $ours && !/^#/ && /\b([A-Za-z_]\w*)\b/g;
    ' "$work/all.i" | sort -u >"$work/declared"
    grep -qx 'CameraNotOpenExc' "$work/declared" || fail "the exceptions declared by macro are not found"
    grep -qx 'OpenSdk' "$work/declared" || fail "the flat functions are not found"
    # Prints every line of `nm -DC` output whose symbol is outside the public
    # namespaces (Q7::Tavrin, Q7::TavrinC), or inside them but named after
    # nothing the headers declare. Type information, virtual tables and thunks
    # of the public classes are theirs.
    outside_public_interface() {
      perl -e '
        my %declared = map { chomp; ($_ => 1) } do { open(my $f, "<", $ARGV[0]) or die; <$f> };
        my $special = qr/^(?:typeinfo name for|typeinfo for|vtable for|VTT for|construction vtable for|guard variable for|(?:non-)?virtual thunk to|covariant return thunk to) /;
        while (my $line = <STDIN>) {
          chomp $line;
          my (undef, undef, $name) = split(/ /, $line, 3);
          (my $subject = $name) =~ s/$special//;
          next if $subject =~ /^Q7::TavrinC?::(?:operator\W|([A-Za-z_]\w*))/ && (!defined $1 || $declared{$1});
          print "$line\n";
        }
      ' "$work/declared"
    }
    # The check itself must tell: the standard library, another namespace and
    # an internal class of a public namespace are flagged; the public
    # interface's functions, operators, type information and thunks are not.
    probe='0000000000001000 W std::_Rb_tree<int, std::pair<int const, long>, std::_Select1st<std::pair<int const, long> >, std::less<int>, std::allocator<std::pair<int const, long> > >::_M_get_insert_unique_pos(int const&)
0000000000001000 V typeinfo for std::bad_variant_access
0000000000001000 W void std::__detail::__to_chars_10_impl<unsigned long>(char*, unsigned int, unsigned long)
0000000000001000 W std::vector<Q7::Tavrin::CameraInfo, std::allocator<Q7::Tavrin::CameraInfo> >::~vector()
0000000000001000 T Q7::KPX::Camera::Close()
0000000000001000 T Q7::TavrinC::NotificationQueue::Push()
0000000000001000 T Q7::TavrinC::OpenSdk()
0000000000001000 V typeinfo for Q7::Tavrin::CameraNotOpenExc
0000000000001000 V VTT for Q7::Tavrin::ILiveView
0000000000001000 T virtual thunk to Q7::Tavrin::IPreview::~IPreview()
0000000000001000 T Q7::Tavrin::operator<<(std::ostream&, Q7::Tavrin::PropertyValue const&)'
    flagged=$(outside_public_interface <<<"$probe")
    [ "$flagged" = "$(head -n 6 <<<"$probe")" ] || fail "the symbol check misjudges its probe:"$'\n'"$flagged"
    leaked=$(outside_public_interface <"$work/exported.txt")
    [ -z "$leaked" ] || fail "symbols outside the public interface are exported:"$'\n'"$leaked"
    echo "$(wc -l <"$work/exported.txt") exported symbols, all of the public interface ($work/exported.txt)"
    ;;

  *)
    fail "unknown mode $mode"
    ;;
esac
